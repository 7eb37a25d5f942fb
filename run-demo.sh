#!/usr/bin/env bash
# Build libKorvel and the stand-in host, then replay the bundled sample run
# into out/ with image files, the event-ID file and the XML description.
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
out="$root/out"
rm -rf "$out" && mkdir -p "$out/images"
cd "$out"
"$root/build/korvel-replay" --no-progress "$root/examples/sample.jsonl" -- \
  -evstat -xdump -imdump images > replay-stdout.txt
echo "demo: outputs in $out:"
echo "  user_out.txt (event table), user_evids.txt (event IDs),"
echo "  user_descr.xml (XML description), images/ (image files),"
echo "  replay-stdout.txt (what the plug-in printed)"
