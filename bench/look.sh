#!/bin/sh
# look.sh - korvel-look on synthetic runs: the default mix of korvel-replay
# with its camera made 256 x 256 (16 bit), replayed in the comma dialect
# with the XML description and converted by korvel-h5; then the report of
# the run is made REPEATS times and the median wall time, user and system
# CPU time and peak resident memory (GNU time -v) are printed, for the long
# run and for one ten times shorter, whose memory should be the same (the
# file is read in chunk-aligned slices).
#
#   bench/look.sh BUILD_DIR [EVENTS]          (default: 10000)
#
# Environment: REPEATS (default 3), RUN_DIR (where the runs' HDF5 files
# run-N.h5 are kept for later calls, which take them as they are; the
# tables, reports and timings go to a fresh directory made in it, by
# default in ${TMPDIR:-/tmp}, and removed afterwards, with the runs when
# RUN_DIR is not given; nothing else there is touched. The 10 000-event
# table takes 4 GB while it is converted, the HDF5 file 1.3 GB).
# Not part of the tests.
set -eu

build=$(cd "${1:?usage: look.sh BUILD_DIR [EVENTS]}" && pwd)
events=${2:-10000}
repeats=${REPEATS:-3}
mix=marker=1,values=300,namevalue=4x16,spectrum=3x4x1000,image=1x256x256x2,eq=2
for p in korvel-replay korvel-h5 look/korvel-look; do
    [ -x "$build/$p" ] || { echo "look.sh: no $build/$p" >&2; exit 2; }
done
[ -x /usr/bin/time ] || { echo "look.sh: needs /usr/bin/time (GNU time)" >&2; exit 2; }

dir=$(mktemp -d "${RUN_DIR:-${TMPDIR:-/tmp}}/korvel-look.XXXXXX")
dir=$(cd "$dir" && pwd)  # removed at the end from wherever the script is then
trap 'rm -rf "$dir"' EXIT
runs=${RUN_DIR:+$(cd "$RUN_DIR" && pwd)}
runs=${runs:-$dir}
cd "$dir"

# median of the numbers on standard input
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# make_run N: $runs/run-N.h5 from N synthetic events (kept when already there)
make_run() {
    [ -f "$runs/run-$1.h5" ] && return
    mkdir "table-$1"
    (cd "table-$1" &&
     "$build/korvel-replay" --no-progress --synthetic "$1" --mix "$mix" -- -hdf5 -xdump >/dev/null &&
     "$build/korvel-h5" --no-progress user_out.txt -o "$runs/run-$1.h5")
    rm -rf "table-$1"
}

printf '%8s %10s %14s %8s %8s\n' events seconds "peak RSS KiB" "user s" "sys s"
for n in "$events" $((events / 10)); do
    make_run "$n"
    : > secs; : > rss; : > user; : > sys
    r=0
    while [ "$r" -lt "$repeats" ]; do
        /usr/bin/time -v -o time.txt "$build/look/korvel-look" --no-progress "$runs/run-$n.h5" \
            -o "run-$n.look" >/dev/null
        awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0;
                        for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s }' time.txt >> secs
        awk -F': ' '/Maximum resident set size/ { print $2 }' time.txt >> rss
        awk -F': ' '/User time/ { print $2 }' time.txt >> user
        awk -F': ' '/System time/ { print $2 }' time.txt >> sys
        r=$((r + 1))
    done
    printf '%8d %10s %14s %8s %8s\n' "$n" "$(median < secs)" "$(median < rss)" \
        "$(median < user)" "$(median < sys)"
done
