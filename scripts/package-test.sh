#!/usr/bin/env bash
# The Debian package as a facility meets it: build it with CPack (prefix
# /usr, Debian's hardening flags), check it with lintian (no error, no
# warning; every override with its reason), install it with dpkg, replay
# the installed example recording from an empty directory with the
# installed programs only, convert its table with the installed korvel-h5,
# make its report with the installed korvel-look, list and read it with
# korvel-ls and the Python package korvel, read the man pages, and remove
# the package again. Last, the package korvel installs with pip from the
# source tree.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-pkg"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX=/usr -DKORVEL_DEB_BUILDFLAGS=ON \
  -DKORVEL_TESTS=OFF -DKORVEL_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/korvel_*.deb "$build"/korvel-dbgsym_*.ddeb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/korvel_*.deb)
ddeb=$(ls "$build"/korvel-dbgsym_*.ddeb)
version=$(sed -n 's/^project(korvel VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
echo "package-test: $(basename "$deb")"

fail() { echo "package-test: FAILED: $*" >&2; exit 1; }

# What the package holds: private libraries in their own directory, no
# headers of the reader, the documents and the man pages.
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
for f in ./usr/bin/korvel-replay ./usr/bin/korvel-h5 ./usr/bin/korvel-look ./usr/bin/korvel-ls \
         ./usr/lib/python3/dist-packages/korvel/__init__.py ./usr/lib/python3/dist-packages/korvel/_version.py \
         "./usr/lib/$multiarch/korvel/libKorvel.so" "./usr/lib/$multiarch/korvel/libkorvel-host.so" \
         ./usr/share/doc/korvel/README.md ./usr/share/doc/korvel/CHANGELOG.md \
         ./usr/share/doc/korvel/copyright ./usr/share/doc/korvel/recording-format.md \
         ./usr/share/doc/korvel/recording.schema.json ./usr/share/doc/korvel/sample.jsonl \
         ./usr/share/doc/korvel/changelog.gz ./usr/share/lintian/overrides/korvel \
         ./usr/share/man/man1/korvel-replay.1.gz ./usr/share/man/man1/korvel-h5.1.gz \
         ./usr/share/man/man1/korvel-look.1.gz ./usr/share/man/man1/korvel-ls.1.gz; do
  grep -qx -- "$f" <<<"$contents" || fail "$f is not in the package"
done
! grep -q '^\./usr/include' <<<"$contents" || fail "the package installs headers"
! grep -q '\.pyc$\|__pycache__' <<<"$contents" || fail "the package ships bytecode"
! grep -q "^\./usr/lib/$multiarch/lib" <<<"$contents" || fail "a library in the public directory"
depends=$(dpkg-deb -f "$deb" Depends)
grep -q libhdf5 <<<"$depends" || fail "Depends lacks the HDF5 library: $depends"
grep -q python3-xarray <<<"$depends" || fail "Depends lacks python3-xarray: $depends"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"

# Debian's checker: no error and no warning. An override is a comment
# saying why, then the override; lintian must use every one of them.
overrides="$root/cmake/korvel.lintian-overrides"
awk '/^[^#[:space:]]/ && prev !~ /^#/ { print FILENAME ":" FNR ": override without a reason above it"; bad = 1 }
     { prev = $0 } END { exit bad }' "$overrides" || fail "every lintian override needs its reason"
lint_status=0
lint=$(lintian --fail-on error,warning --display-info --info "$deb" "$ddeb" 2>&1) || lint_status=$?
lint=$(grep -v '^running with root privileges' <<<"$lint" || true)
[ "$lint_status" -eq 0 ] && ! grep -qE '^[EW]: |unused-override|mismatched-override' <<<"$lint" ||
  fail "lintian (status $lint_status):"$'\n'"$lint"
# The debug information of every stripped program and library.
debug_files=$(dpkg-deb -c "$ddeb" | grep -c '/usr/lib/debug/\.build-id/.*\.debug$' || true)
[ "$debug_files" -eq 4 ] || fail "the dbgsym package holds $debug_files debug files, not 4"

# dpkg -i overwrites a file that no package owns, and dpkg -r then
# removes it: a korvel installed before (as a package, or by hand into
# /usr) is never replaced, the test refuses to run instead.
if dpkg-query -W -f='${Status}' korvel 2>/dev/null | grep -q 'ok installed'; then
  fail "a korvel package is installed already; remove it first (it is not replaced)"
fi
present=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print substr($6, 2) }' |
  while read -r f; do if [ -e "$f" ] || [ -L "$f" ]; then echo "$f"; fi; done)
[ -z "$present" ] || fail "files of the package exist already (not replaced):" $present

$SUDO dpkg -i "$deb" >/dev/null
trap '$SUDO dpkg -r korvel >/dev/null' EXIT

work=$(mktemp -d)
cd "$work"
mkdir images
doc=/usr/share/doc/korvel
env -i PATH=/usr/bin:/bin korvel-replay --no-progress "$doc/sample.jsonl" -- \
  -evstat -xdump -imdump images > replay-stdout.txt 2> replay-stderr.txt ||
  fail "the installed korvel-replay: $(cat replay-stderr.txt)"
events=$(grep -c '"id"' "$doc/sample.jsonl")
rows=$(grep -vc '^#' user_out.txt || true)
[ "$rows" -ge 1 ] || fail "user_out.txt has no rows"
[ -s user_evids.txt ] && [ -s user_descr.xml ] || fail "event-ID file or XML description missing"
[ -n "$(ls images)" ] || fail "no image file"
grep -q "^korvel-replay: $events events replayed$" replay-stderr.txt ||
  fail "closing line: $(tail -1 replay-stderr.txt)"
env -i PATH=/usr/bin:/bin korvel-h5 --no-progress user_out.txt || fail "the installed korvel-h5"
/usr/bin/python3 - <<PY || fail "user_out.h5 does not read back"
import h5py
with h5py.File("user_out.h5", "r") as f:
    n = f["/entry/event/id"].shape[0]
    assert n == $events, n
PY
env -i PATH=/usr/bin:/bin korvel-look --no-progress user_out.h5 -o look >/dev/null ||
  fail "the installed korvel-look"
[ -s look/index.html ] || fail "korvel-look wrote no index.html"
env -i PATH=/usr/bin:/bin korvel-ls user_out.h5 > ls.txt || fail "the installed korvel-ls"
grep -qx "events      $events" ls.txt || fail "korvel-ls: $(head -3 ls.txt)"
env -i PATH=/usr/bin:/bin /usr/bin/python3 -c '
import korvel, sys
with korvel.open_run("user_out.h5") as run:
    assert len(run.events) == int(sys.argv[1]), run
    df = run.get_dataframe()
    assert df.index.name == "event_id" and len(df) == len(run.events)
' "$events" || fail "python3 -c 'import korvel' does not read the example"
[ "$(korvel-replay --version)" = "korvel-replay $version" ] || fail "korvel-replay --version"
[ "$(korvel-h5 --version)" = "korvel-h5 $version" ] || fail "korvel-h5 --version"
korvel-look --version | grep -x "korvel-look $version" >/dev/null || fail "korvel-look --version"
[ "$(korvel-ls --version)" = "korvel-ls $version" ] || fail "korvel-ls --version"
[ "$(/usr/bin/python3 -m korvel --version)" = "korvel $version" ] || fail "python3 -m korvel --version"
strings "/usr/lib/$multiarch/korvel/libKorvel.so" | grep -x "libKorvel $version" >/dev/null ||
  fail "libKorvel.so does not hold its version"
# The installed plug-in exports what its version script lets out, no more.
exported=$(nm -D --defined-only "/usr/lib/$multiarch/korvel/libKorvel.so" | awk '{ print $3 }' | sort)
allowed=$(sed -n 's/^ *\([A-Za-z_][A-Za-z0-9_]*\);$/\1/p' "$root/library/daq/Korvel/korvel.map" | sort)
[ "$exported" = "$allowed" ] || fail "libKorvel.so exports"$'\n'"$exported"$'\n'"instead of"$'\n'"$allowed"
for page in korvel-replay korvel-h5 korvel-look korvel-ls; do
  f=$(ls /usr/share/man/man1/$page.1*)
  zcat -f "$f" | grep '^\.SH "\?NAME' >/dev/null || fail "man page $page has no NAME section"
done
cd / && rm -rf "$work"

$SUDO dpkg -r korvel >/dev/null
trap - EXIT
[ ! -e /usr/bin/korvel-replay ] || fail "korvel-replay is still there after removal"
[ ! -e /usr/share/korvel ] || fail "/usr/share/korvel is still there after removal"
[ ! -e /usr/lib/python3/dist-packages/korvel ] || fail "the Python package is still there after removal"

# pip, from a copy of the source tree (pip builds in place), without the
# network: Debian's setuptools builds it.
work=$(mktemp -d)
cp -r "$root/python" "$work/src"
/usr/bin/python3 -m pip install -q --no-build-isolation --no-deps --no-index \
  --target "$work/site" "$work/src" 2>/dev/null || fail "pip install ./python"
[ "$(PYTHONPATH="$work/site" "$work/site/bin/korvel-ls" --version)" = "korvel-ls $version" ] ||
  fail "korvel-ls of the pip install"
rm -rf "$work"
echo "package-test: $(basename "$deb") installs, runs the example, converts it and is removed cleanly"
