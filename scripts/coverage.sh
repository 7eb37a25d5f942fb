#!/usr/bin/env bash
# Line and branch coverage of the plug-in (library/daq/Korvel) and of the
# stand-in host (host/) by the test suite: a GCC build with --coverage in
# BUILD_DIR (default build-cov), every test but the HDF5 converter's, then
# gcovr (Debian's gcovr) per part.
#
#   scripts/coverage.sh            summary of both parts
#   DETAIL=1 scripts/coverage.sh   also every file's uncovered lines and branches
#
# COVERAGE_TARGETS (build targets, default all) and COVERAGE_TESTS (a ctest
# regular expression, default every test) narrow the build and the run,
# for a quick look at one part or for the scripts' own check.
#
# Each part's line report is written into the build directory
# (BUILD_DIR/coverage-plugin.txt, BUILD_DIR/coverage-host.txt). gcovr
# removes a file given to -o before it writes it, so nothing but a file
# of the build directory is ever given to it: a device such as /dev/null
# would be deleted and replaced by a regular file when run as root.
#
# korvel-replay, which the scenario tests start, writes its counts when it
# exits. Test children that end with _exit() (the unit tests that drive the
# plug-in in a child process) write theirs first through gcov's
# __gcov_dump(), which tests/unit_child_run.h calls through a weak
# reference; a weak reference alone does not pull it out of libgcov, so
# the executables are linked with -u __gcov_dump.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-cov}
command -v gcovr >/dev/null || { echo "coverage.sh: needs gcovr (apt-get install gcovr)" >&2; exit 2; }

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKORVEL_BENCH=OFF \
  -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ \
  -DCMAKE_CXX_FLAGS="--coverage -fprofile-update=atomic" \
  -DCMAKE_EXE_LINKER_FLAGS="--coverage -Wl,-u,__gcov_dump" -DCMAKE_SHARED_LINKER_FLAGS=--coverage \
  -DCMAKE_MODULE_LINKER_FLAGS=--coverage >/dev/null
targets=()
# shellcheck disable=SC2206 # a list of target names, split on purpose
[ -z "${COVERAGE_TARGETS:-}" ] || targets=(--target ${COVERAGE_TARGETS})
cmake --build "$build" -j "$(nproc)" "${targets[@]}" >/dev/null
find "$build" -name '*.gcda' -delete
(cd "$build" && ctest -j "$(nproc)" -E 'h5|H5' ${COVERAGE_TESTS:+-R "$COVERAGE_TESTS"} >/dev/null) ||
  echo "coverage.sh: some tests failed" >&2

report() {  # report NAME DIR FILE
  echo "== $1"
  # Branches the compiler adds for exceptions are left out: the plug-in
  # raises none of its own.
  local opts=(-r "$root" --object-directory "$build" --filter "$2"
              --exclude-throw-branches --exclude-unreachable-branches
              --exclude "$build/CMakeFiles/")
  local out="$build/$3"
  gcovr "${opts[@]}" -s -o "$out" "$build" 2>/dev/null | grep -E "^(lines|functions|branches):"
  if [ -n "${DETAIL:-}" ]; then
    cat "$out"
    gcovr "${opts[@]}" --branches "$build"
  fi
}
report "plug-in (library/daq/Korvel)" "$root/library/daq/Korvel/" coverage-plugin.txt
report "stand-in host (host/)" "$root/host/" coverage-host.txt
