#!/bin/sh
# wide_memory.sh - korvel-h5's peak memory against the width of a table.
#
#   bench/wide_memory.sh BUILD_DIR [CHANNELS...]   (default: 1000 10000 30000)
#
# For each count it writes a comma-dialect table of that many value
# channels and 3 events, converts it and prints the peak resident memory,
# the memory per channel above the first (narrowest) table of the same run
# and the ratio to it. With SPECTRA="CHANNELS VALUES EVENTS" it also
# converts a table of spectrum channels (one member of VALUES values each)
# and prints what the chunks being filled may hold at most (64 MiB) beside
# what it took.
#
# Environment: RUN_DIR (where the tables are written: a fresh directory is
# made in it, by default in ${TMPDIR:-/tmp}, and removed afterwards).
set -eu

build=$(cd "${1:?usage: wide_memory.sh BUILD_DIR [CHANNELS...]}" && pwd)
shift
h5=$build/korvel-h5
for p in "$h5" /usr/bin/time /usr/bin/python3; do
    [ -x "$p" ] || { echo "wide_memory.sh: no $p" >&2; exit 2; }
done
[ $# -gt 0 ] || set -- 1000 10000 30000

dir=$(mktemp -d "${RUN_DIR:-${TMPDIR:-/tmp}}/korvel-wide.XXXXXX")
trap 'rm -rf "$dir"' EXIT

# table PATH CHANNELS EVENTS VALUES: VALUES 0 writes value cells, else
# spectra of one member with VALUES values.
table() {
    /usr/bin/python3 - "$@" <<'EOF'
import sys
path, channels, events, values = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
cell = "[[0.500000]]" if values == 0 else "[[" + " ".join(["5e-01"] * values) + "]]"
row = ",".join([cell] * channels)
with open(path, "w") as f:
    f.write("EventId,Time,TimeISO," + ",".join("C%d" % i for i in range(channels)) + "\n")
    for e in range(1, events + 1):
        f.write("%d,%d:0,1970-01-01T00:01:40Z,%s\n" % (e, 100 + e, row))
EOF
}

# convert TABLE: prints "seconds peak_kib"
convert() {
    /usr/bin/time -f '%e %M' -o "$dir/time.txt" "$h5" --no-progress --threads 1 "$1" \
        -o "$dir/out.h5" > /dev/null 2> "$dir/err.txt" ||
        { cat "$dir/err.txt" >&2; echo "wide_memory.sh: korvel-h5 failed on $1" >&2; exit 1; }
    cat "$dir/time.txt"
}

printf '%10s %10s %9s %14s %16s %10s\n' channels "table KB" seconds "peak RSS KiB" \
    "KiB/channel more" "x first"
first_n= first_kib=
for n in "$@"; do
    table "$dir/t.txt" "$n" 3 0
    mb=$(awk -v b="$(stat -c %s "$dir/t.txt")" 'BEGIN { printf "%.0f", b / 1e3 }')
    set -- $(convert "$dir/t.txt")
    if [ -z "$first_n" ]; then first_n=$n first_kib=$2; fi
    awk -v n="$n" -v mb="$mb" -v s="$1" -v k="$2" -v n0="$first_n" -v k0="$first_kib" 'BEGIN {
        per = n > n0 ? (k - k0) / (n - n0) : 0
        printf "%10d %10s %9.2f %14d %16.2f %10.2f\n", n, mb, s, k, per, k / k0 }'
done

if [ -n "${SPECTRA:-}" ]; then
    set -- $SPECTRA
    table "$dir/s.txt" "$1" "$3" "$2"
    set -- $SPECTRA $(convert "$dir/s.txt")
    awk -v c="$1" -v v="$2" -v e="$3" -v s="$4" -v k="$5" 'BEGIN {
        printf "spectra: %d channels of %d values, %d events: %.2f s, peak %d KiB ", c, v, e, s, k
        printf "(one chunk of %d events each would be %.0f MiB; the budget is 64 MiB)\n",
            e, c * v * 4 * e / 1048576 }'
fi
