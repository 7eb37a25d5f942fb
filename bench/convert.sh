#!/bin/sh
# convert.sh - korvel-h5 on a synthetic run, beside `cat TABLE > /dev/null`
# (the rate at which the table can be read at all), in one sitting.
#
#   bench/convert.sh BUILD_DIR [EVENTS]          (default: 60)
#
# It replays EVENTS synthetic events of korvel-replay's default mix (300
# values, name-value blocks, spectra, a 1024 x 1024 16-bit camera: about
# 6 MB of table per event) in the comma dialect with the XML description,
# then converts the table with --compression none (in one walk, and in two
# with --strict, which keeps the whole survey first), with gzip on one thread
# and on two, and with the numpy/h5py converter a user would write
# (bench/reference_convert.py, Debian's Python), REPEATS times each (default
# 5), alternating the commands, and prints the median wall and CPU time, the rate in MB of table per second, the rate
# as a share of cat's, and the peak resident memory. It ends with the peak
# memory of a run three times as long. As a second yardstick it also prints
# how fast this file system takes a file of the size of the uncompressed
# output (dd), since --compression none writes that much, and what HDF5
# alone takes to make the file's layout (korvel-layout-floor).
#
# Environment: REPEATS, MIX (korvel-replay's --mix, default its default mix:
# MIX=marker=1,values=300,namevalue=4x16,spectrum=3x4x1000,eq=2 is that mix
# without the camera), RUN_DIR (where the table is written: a fresh
# directory is made in it, by default in ${TMPDIR:-/tmp}, and removed
# afterwards; nothing else there is touched).
set -eu

build=$(cd "${1:?usage: convert.sh BUILD_DIR [EVENTS]}" && pwd)
events=${2:-60}
repeats=${REPEATS:-5}
mix=${MIX:-}
here=$(cd "$(dirname "$0")" && pwd)
replay=$build/korvel-replay
h5=$build/korvel-h5
for p in "$replay" "$h5" /usr/bin/time; do
    [ -x "$p" ] || { echo "convert.sh: no $p" >&2; exit 2; }
done

dir=$(mktemp -d "${RUN_DIR:-${TMPDIR:-/tmp}}/korvel-convert.XXXXXX")
dir=$(cd "$dir" && pwd)  # removed at the end from wherever the script is then
trap 'rm -rf "$dir"' EXIT
cd "$dir"

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

make_run() {  # make_run EVENTS DIR
    mkdir -p "$2"
    (cd "$2" && "$replay" --no-progress --synthetic "$1" ${mix:+--mix "$mix"} \
        -- -hdf5 -xdump > /dev/null)
}

# time_one NAME COMMAND...: one run; appends "seconds rss_kib cpu_seconds"
# to NAME.t. Each conversion writes a new file, as a first conversion does:
# the last one's output is removed before the clock starts. Replacing a
# file of 129 MB costs the kernel 23-85 ms of freeing its pages within the
# rename (or, for the numpy/h5py converter, the truncation), which is not
# converting.
time_one() {
    name=$1; shift
    rm -f out.h5 ref.h5
    /usr/bin/time -f '%e %M %U %S' -o time.txt "$@" > /dev/null 2> err.txt ||
        { cat err.txt >&2; echo "convert.sh: $name failed" >&2; exit 1; }
    awk '{ print $1, $2, $3 + $4 }' time.txt >> "$name.t"
}

make_run "$events" run
table=run/user_out.txt
bytes=$(stat -c %s "$table")
cat "$table" > /dev/null  # into the page cache
rm -f ./*.t
r=0
while [ "$r" -lt "$repeats" ]; do
    time_one cat sh -c "cat '$table' > /dev/null"
    time_one none "$h5" --no-progress --compression none "$table" -o out.h5
    time_one strict "$h5" --no-progress --compression none --strict "$table" -o out.h5
    time_one gzip1 "$h5" --no-progress --threads 1 "$table" -o out.h5
    time_one gzip2 "$h5" --no-progress --threads 2 "$table" -o out.h5
    time_one ref /usr/bin/python3 "$here/reference_convert.py" "$table" ref.h5
    r=$((r + 1))
done
# cat finishes within the clock's resolution on small tables: time it by
# many reads in one process instead.
cat_s=$(awk '{ print $1 }' cat.t | median)
if awk -v s="$cat_s" 'BEGIN { exit !(s < 0.05) }'; then
    t0=$(date +%s%N)
    i=0; while [ $i -lt 20 ]; do cat "$table" > /dev/null; i=$((i + 1)); done
    t1=$(date +%s%N)
    cat_s=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", (b - a) / 20 / 1e9 }')
fi

printf 'table: %d events, %.1f MB\n' "$events" "$(awk -v b="$bytes" 'BEGIN { print b / 1e6 }')"
printf '%-28s %9s %9s %10s %10s %12s\n' command "seconds" "CPU s" "MB/s" "of cat" "peak RSS KiB"
row() {  # row LABEL SECONDS CPU RSS
    awk -v l="$1" -v s="$2" -v u="$3" -v b="$bytes" -v c="$cat_s" -v m="$4" 'BEGIN {
        printf "%-28s %9.3f %9s %10.0f %9.1f%% %12s\n", l, s, u, b / s / 1e6, 100 * c / s, m }'
}
row "cat TABLE > /dev/null" "$cat_s" "-" "-"
for v in none strict gzip1 gzip2 ref; do
    s=$(awk '{ print $1 }' "$v.t" | median)
    u=$(awk '{ print $3 }' "$v.t" | median)
    m=$(awk '{ print $2 }' "$v.t" | median)
    case $v in
        none) label="korvel-h5 --compression none" ;;
        strict) label="  the same, two walks" ;;
        gzip1) label="korvel-h5 --threads 1" ;;
        gzip2) label="korvel-h5 --threads 2" ;;
        ref) label="numpy/h5py converter" ;;
    esac
    row "$label" "$s" "$u" "$m"
done
# The ratio to the numpy/h5py converter run by run (they alternate).
# Wall and CPU time each: on a shared machine the CPU time tells more.
wall=$(paste ref.t none.t | awk '{ print $1 / $4 }' | median)
cpu=$(paste ref.t none.t | awk '{ print $3 / $6 }' | median)
printf 'numpy/h5py converter / --compression none: %.1fx (wall), %.1fx (CPU), medians of the run-by-run ratios\n' "$wall" "$cpu"
ratio=$(paste strict.t none.t | awk '{ print $4 / $1 }' | median)
printf 'one walk / two walks (--strict): %.3f (wall)\n' "$ratio"
g1=$(awk '{ print $1 }' gzip1.t | median)
g2=$(awk '{ print $1 }' gzip2.t | median)
awk -v a="$g1" -v b="$g2" 'BEGIN { printf "two threads against one: %.2fx faster\n", a / b }'

# What the file system takes: a file as large as the uncompressed output.
"$h5" --no-progress --compression none "$table" -o out.h5 2> /dev/null
out_bytes=$(stat -c %s out.h5)
# What HDF5 alone takes to make this file's groups, empty datasets, links
# and attributes: no converter of this layout can be faster, whatever its
# reading. Beside it the whole conversion's time at 15 % of cat's rate.
if [ -x "$build/korvel-layout-floor" ]; then
    floor=$("$build/korvel-layout-floor" out.h5 floor.h5)
    rm -f floor.h5
    awk -v f="$floor" -v c="$cat_s" 'BEGIN {
        printf "HDF5 alone makes the layout (%s); 15 %% of cat'"'"'s rate allows %.3f s in all\n", f, c / 0.15 }'
fi
rm -f out.h5
t0=$(date +%s%N)
dd if=/dev/zero of=dd.out bs=4M count=$((out_bytes / 4194304 + 1)) conv=fsync 2> /dev/null
t1=$(date +%s%N)
rm -f dd.out
awk -v n="$out_bytes" -v a="$t0" -v b="$t1" 'BEGIN {
    printf "this file system takes %.0f MB of new file at %.0f MB/s (dd, with fsync)\n",
        n / 1e6, n / 1e6 / ((b - a) / 1e9) }'

# Memory of a run three times as long.
make_run $((events * 3)) long
: > long.t
time_one long "$h5" --no-progress "long/user_out.txt" -o long.h5
short_rss=$(awk '{ print $2 }' gzip2.t | median)
long_rss=$(awk '{ print $2 }' long.t)
awk -v s="$short_rss" -v l="$long_rss" -v n="$events" 'BEGIN {
    printf "peak RSS: %d events %d KiB, %d events %d KiB (%+.1f%%)\n",
        n, s, 3 * n, l, 100 * (l - s) / s }'
