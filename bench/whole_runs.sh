#!/bin/sh
# whole_runs.sh - whole synthetic runs through korvel-replay: events per
# second and table bytes per second (wall time of the whole process, set-up
# and end of run included), peak resident memory and the process's user
# and system CPU time, for a few run lengths, each repeated; the median of
# the repeats is printed. The system time is mostly the file system taking
# the table's new pages, and varies with what the machine's disk is doing.
#
#   bench/whole_runs.sh BUILD_DIR [EVENTS...]      (default: 20 200)
#
# Environment: REPEATS (default 3), MIX (default: korvel-replay's own
# mix), WORDS (the plug-in's words, default "-out table.txt"; with
# "-evstat -nodump" the memory of long runs is measured without the table
# writing, the table columns then show 0), RUN_DIR (where the table file is
# written: a fresh directory is made in it, by default in ${TMPDIR:-/tmp},
# and removed afterwards; nothing else there is touched).
set -eu

build=$(cd "${1:?usage: whole_runs.sh BUILD_DIR [EVENTS...]}" && pwd)
shift
[ $# -gt 0 ] || set -- 20 200
repeats=${REPEATS:-3}
words=${WORDS:--out table.txt}
replay=$build/korvel-replay
[ -x "$replay" ] || { echo "whole_runs.sh: no $replay" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "whole_runs.sh: needs /usr/bin/time (GNU time)" >&2; exit 2; }

dir=$(mktemp -d "${RUN_DIR:-${TMPDIR:-/tmp}}/korvel-runs.XXXXXX")
dir=$(cd "$dir" && pwd)  # removed at the end from wherever the script is then
trap 'rm -rf "$dir"' EXIT
cd "$dir"

# median of the numbers on standard input
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

printf '%8s %10s %12s %14s %12s %8s %8s\n' events seconds events/s "table MB/s" "peak RSS KiB" \
    "user s" "sys s"
for n in "$@"; do
    : > secs; : > rss; : > bytes; : > user; : > sys
    r=0
    while [ "$r" -lt "$repeats" ]; do
        rm -f table.txt user_evids.txt
        t0=$(date +%s%N)
        if [ -n "${MIX:-}" ]; then
            # shellcheck disable=SC2086 # the words are split on purpose
            /usr/bin/time -f '%M %U %S' -o time.txt "$replay" --synthetic "$n" --mix "$MIX" \
                --no-progress -- $words > stdout.txt 2> stderr.txt ||
                { cat stderr.txt >&2; exit 1; }
        else
            # shellcheck disable=SC2086
            /usr/bin/time -f '%M %U %S' -o time.txt "$replay" --synthetic "$n" \
                --no-progress -- $words > stdout.txt 2> stderr.txt ||
                { cat stderr.txt >&2; exit 1; }
        fi
        t1=$(date +%s%N)
        echo $(( (t1 - t0) / 1000 )) | awk '{ print $1 / 1e6 }' >> secs
        awk '{ print $1 }' time.txt >> rss
        awk '{ print $2 }' time.txt >> user
        awk '{ print $3 }' time.txt >> sys
        if [ -f table.txt ]; then wc -c < table.txt >> bytes; else echo 0 >> bytes; fi
        r=$((r + 1))
    done
    s=$(median < secs)
    m=$(median < rss)
    b=$(median < bytes)
    u=$(median < user)
    k=$(median < sys)
    awk -v n="$n" -v s="$s" -v b="$b" -v m="$m" -v u="$u" -v k="$k" 'BEGIN {
        printf "%8d %10.3f %12.1f %14.1f %12d %8.2f %8.2f\n", n, s, n / s, b / s / 1e6, m, u, k }'
done
