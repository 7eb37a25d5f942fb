#!/usr/bin/env bash
# Everything the tests need on a fresh Debian machine: the packages that are
# missing, the C++ layout check, a normal build (GCC), a sanitizer build
# (Clang, AddressSanitizer and UndefinedBehaviorSanitizer) and every test in
# both, the coverage summary on a small build, then a short run of each fuzz
# target.
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
"$root/scripts/setup.sh"
# The C++ layout of .clang-format, checked before anything is built.
"$root/scripts/format-check.sh"
"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd "$root/build" && ctest --output-on-failure -j 2 -LE slurm)
# The coverage summary on a small build (build-cov-check): its reports stay
# in the build directory and /dev/null stays the null device.
"$root/scripts/coverage-check.sh"
CC=clang CXX=clang++ "$root/scripts/build.sh" "$root/build-san" -DCMAKE_BUILD_TYPE=Debug \
  -DKORVEL_SANITIZE=ON -DKORVEL_BENCH=OFF
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
(cd "$root/build-san" && ctest --output-on-failure -j 2 -LE slurm)
# The fuzz targets (Clang libFuzzer), 30 seconds each from their seed corpora.
"$root/fuzz/run-ci.sh"
echo "run-tests: every test passed in both builds, and the fuzz targets found nothing"
