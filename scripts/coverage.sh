#!/usr/bin/env bash
# Line and branch coverage of the plug-in (library/daq/Korvel) and of the
# stand-in host (host/) by the test suite: a GCC build with --coverage in
# BUILD_DIR (default build-cov), every test but the HDF5 converter's, then
# gcovr (Debian's gcovr) per part.
#
#   scripts/coverage.sh            summary of both parts
#   DETAIL=1 scripts/coverage.sh   also every file's uncovered lines
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
cmake --build "$build" -j "$(nproc)" >/dev/null
find "$build" -name '*.gcda' -delete
(cd "$build" && ctest -j "$(nproc)" -E 'h5|H5' >/dev/null) || echo "coverage.sh: some tests failed" >&2

report() {  # report NAME DIR
  echo "== $1"
  # Branches the compiler adds for exceptions are left out: the plug-in
  # raises none of its own.
  local opts=(-r "$root" --object-directory "$build" --filter "$2"
              --exclude-throw-branches --exclude-unreachable-branches
              --exclude "$build/CMakeFiles/")
  gcovr "${opts[@]}" -s -o /dev/null "$build" 2>/dev/null | grep -E "^(lines|functions|branches):"
  if [ -n "${DETAIL:-}" ]; then
    gcovr "${opts[@]}" "$build"
    gcovr "${opts[@]}" --branches "$build"
  fi
}
report "plug-in (library/daq/Korvel)" "$root/library/daq/Korvel/"
report "stand-in host (host/)" "$root/host/"
