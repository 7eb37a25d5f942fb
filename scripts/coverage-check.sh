#!/usr/bin/env bash
# The coverage summary on a small build (the plug-in and korvel-replay in
# BUILD_DIR, default build-cov-check; only the recording schema's test run)
# must print both parts' figures, write its reports into its build
# directory and leave /dev/null the null device: gcovr deletes whatever
# file it is given as output before writing it, and the scripts run as root.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-cov-check}

fail() { echo "coverage-check: FAILED: $*" >&2; exit 1; }
# A character device with major 1, minor 3 (stat prints them in hex).
null_device() { [ -c /dev/null ] && [ "$(stat -c '%t:%T' /dev/null)" = "1:3" ]; }

null_device || fail "/dev/null is not the null device before the check; not run"
status=0
summary=$(BUILD_DIR=$build COVERAGE_TARGETS="Korvel korvel-replay" \
  COVERAGE_TESTS='^recording_schema$' "$root/scripts/coverage.sh" 2>&1) || status=$?
if ! null_device; then
  # Put the device back at once: everything on the machine needs it.
  what=$(stat -c %F /dev/null 2>/dev/null || echo "missing")
  if [ "$(id -u)" -eq 0 ]; then
    rm -f /dev/null && mknod -m 666 /dev/null c 1 3
    fail "coverage.sh left /dev/null a $what (made again with mknod)"
  fi
  fail "coverage.sh left /dev/null a $what; restore it with: mknod -m 666 /dev/null c 1 3"
fi
[ "$status" -eq 0 ] || fail "coverage.sh ended with status $status: $summary"
echo "$summary"
# Both parts' line figures, each with something covered: the tests ran and
# gcovr read their counts.
[ "$(grep -cE '^lines: [0-9.]+% \([1-9][0-9]* out of' <<<"$summary")" -eq 2 ] ||
  fail "no line figures of both parts with counts"
for f in coverage-plugin.txt coverage-host.txt; do
  [ -f "$build/$f" ] && [ ! -L "$build/$f" ] || fail "no report $build/$f"
done
echo "coverage-check: the summary ran; /dev/null is still the null device"
