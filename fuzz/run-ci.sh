#!/bin/sh
# Build the fuzz targets in build-fuzz and run each for 30 seconds (or
# FUZZ_SECONDS) from its seed corpus. Fails on any finding.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build-fuzz}
secs=${FUZZ_SECONDS:-30}
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DKORVEL_FUZZ=ON -DKORVEL_TESTS=OFF -DKORVEL_BENCH=OFF >/dev/null
ninja -C "$build" -j"${JOBS:-1}" fuzz_recording fuzz_run fuzz_h5_table
for t in fuzz_recording fuzz_run fuzz_h5_table; do
  work=$(mktemp -d)
  mkdir "$work/corpus"
  cp "$top"/fuzz/corpus/"$t"/* "$work/corpus"/ 2>/dev/null || true
  echo "== $t: $secs s"
  # The fuzzer's progress goes to a log; on a finding its tail is shown
  # and the crashing input stays in $work. The corpus is named relative to
  # $work, as a user names it, and the crashing input is left to land
  # there by the target's own default.
  if ( cd "$work" && ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:allocator_may_return_null=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$build/fuzz/$t" -max_total_time="$secs" -timeout=25 -close_fd_mask=1 -rss_limit_mb=1536 \
      corpus ) > "$work.log" 2>&1; then
    grep -E '^#[0-9]+' "$work.log" | tail -n 1
    rm -rf "$work" "$work.log"
  else
    tail -n 60 "$work.log"
    echo "$t: finding; input and log kept in $work" >&2
    exit 1
  fi
done
