#!/usr/bin/env bash
# Build libKorvel, the stand-in host and the converter, replay the bundled
# sample run into out/ with image files, the event-ID file and the XML
# description, convert its table into out/user_out.h5 and make the report of
# the run, out/user_out.look/index.html.
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
"$root/scripts/setup.sh"
echo "demo: building the plug-in, korvel-replay and korvel-h5 (not the tests)"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j "$(nproc)" --target Korvel korvel-replay korvel-h5
out="$root/out"
rm -rf "$out" && mkdir -p "$out/images"
cd "$out"
"$root/build/korvel-replay" --no-progress "$root/examples/sample.jsonl" -- \
  -evstat -xdump -imdump images > replay-stdout.txt
"$root/build/korvel-h5" --no-progress user_out.txt
"$root/build/look/korvel-look" --no-progress user_out.h5 >/dev/null
echo "demo: outputs in $out:"
echo "  user_out.txt (event table), user_evids.txt (macro-pulse numbers per channel),"
echo "  user_descr.xml (XML description), images/ (image files),"
echo "  replay-stdout.txt (what the plug-in printed), user_out.h5 (the table in HDF5),"
echo "  user_out.look/ (the report of the run)"
echo "demo: open the report in a browser: file://$out/user_out.look/index.html"
