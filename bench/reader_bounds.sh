#!/bin/sh
# reader_bounds.sh - what one recording line costs korvel-replay's reader:
# peak resident memory and wall time of `korvel-replay --check` (GNU time)
# against the line's length and against the number of keys in one object.
#
#   bench/reader_bounds.sh BUILD_DIR
#
# Lines, each the one event of a recording whose header names the channels:
#   pixels  MiB  an image of N MiB, as hex digits (2 bytes of line a byte)
#   values  MiB  a spectrum of "0," values (2 bytes of line a value): the
#                most memory a line of that length can ask for
#   keys    N    an event of N channel entries {"Cn":{}} (about 12 bytes
#                a key), against an array of N such objects in the same
#                run (the reference: the same values without keys)
#   nul     the 2 GiB of NULs of a truncated file, refused at its first byte
# For each the figures are printed with the ratio that matters: memory per
# byte of line, or the time of N keys divided by the time of N array
# elements (1 when a key costs what an element does, growing with N if
# the lookup of keys were not linear).
#
# Environment: SIZES (MiB, default "8 32"), KEYS (default "10000 30000
# 100000"), RUN_DIR (scratch files; a fresh directory in ${TMPDIR:-/tmp},
# removed afterwards).
set -eu

build=$(cd "${1:?usage: reader_bounds.sh BUILD_DIR}" && pwd)
replay=$build/korvel-replay
[ -x "$replay" ] || { echo "reader_bounds.sh: no $replay" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "reader_bounds.sh: needs /usr/bin/time (GNU time)" >&2; exit 2; }
py=/usr/bin/python3
sizes=${SIZES:-8 32}
keys=${KEYS:-10000 30000 100000}

dir=$(mktemp -d "${RUN_DIR:-${TMPDIR:-/tmp}}/korvel-bounds.XXXXXX")
trap 'rm -rf "$dir"' EXIT

# measure FILE: "SECONDS KIB" of korvel-replay --check FILE
measure() {
  /usr/bin/time -f "%e %M" -o "$dir/time" "$replay" --check "$1" >/dev/null 2>&1 || true
  tail -n 1 "$dir/time"
}

# make KIND SIZE FILE
make() {
  "$py" - "$1" "$2" "$3" <<'EOF'
import sys
kind, size, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
with open(path, "w") as f:
    if kind == "pixels":
        n = size << 20
        f.write('{"format":"korvel-recording","version":1,"channels":[{"name":"C","type":4}]}\n')
        f.write('{"id":1,"channels":{"C":{"image":{"len":%d,"pixels":"' % min(n, 1 << 24))
        f.write("00" * n + '"}}}}\n')
    elif kind == "values":
        n = (size << 20) // 2
        f.write('{"format":"korvel-recording","version":1,"channels":[{"name":"C","type":3}]}\n')
        f.write('{"id":1,"channels":{"C":{"members":[{"values":[')
        f.write("0," * (n - 1) + '0]}]}}}\n')
    elif kind in ("keys", "array"):
        f.write('{"format":"korvel-recording","version":1,"channels":[')
        f.write(",".join('{"name":"C%d"}' % i for i in range(size)) + "]}\n")
        if kind == "keys":
            f.write('{"id":1,"channels":{' + ",".join('"C%d":{}' % i for i in range(size)) + "}}\n")
        else:  # the same objects in an array, without keys (refused after the parse)
            f.write('{"id":1,"channels":[' + ",".join('{"C%d":{}}' % i for i in range(size)) + "]}\n")
EOF
}

echo "line            bytes        seconds  peak KiB   KiB per MiB of line"
for kind in pixels values; do
  for mib in $sizes; do
    make "$kind" "$mib" "$dir/r.jsonl"
    bytes=$(wc -c <"$dir/r.jsonl")
    set -- $(measure "$dir/r.jsonl")
    awk -v k="$kind $mib MiB" -v b="$bytes" -v s="$1" -v m="$2" \
      'BEGIN { printf "%-15s %-12d %-8s %-10d %.0f\n", k, b, s, m, m / (b / 1048576) }'
  done
done

echo
echo "keys      seconds  peak KiB   array seconds  ratio keys/array"
for n in $keys; do
  make keys "$n" "$dir/k.jsonl"
  make array "$n" "$dir/a.jsonl"
  set -- $(measure "$dir/k.jsonl")
  ks=$1 km=$2
  set -- $(measure "$dir/a.jsonl")
  awk -v n="$n" -v ks="$ks" -v km="$km" -v as="$1" \
    'BEGIN { printf "%-9d %-8s %-10d %-14s %.2f\n", n, ks, km, as, (as > 0 ? ks / as : 0) }'
done

echo
truncate -s 2G "$dir/z"
set -- $(measure "$dir/z")
echo "2 GiB of NULs: $1 s, $2 KiB"
