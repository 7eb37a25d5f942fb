#!/usr/bin/env bash
# Build libKorvel, the stand-in host and the converter, replay the bundled
# sample run into out/ with image files, the event-ID file and the XML
# description, then convert its table into out/user_out.h5.
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
echo "demo: outputs in $out:"
echo "  user_out.txt (event table), user_evids.txt (event IDs),"
echo "  user_descr.xml (XML description), images/ (image files),"
echo "  replay-stdout.txt (what the plug-in printed), user_out.h5 (the table in HDF5)"
