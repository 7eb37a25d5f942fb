#!/usr/bin/env bash
# Check that every C++ file of the tree is laid out as .clang-format says,
# so that a change's diff holds only what it changes. With --fix it
# rewrites the files in place instead.
#
#   scripts/format-check.sh [--fix]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
command -v clang-format >/dev/null || { echo "format-check: clang-format is not installed" >&2; exit 2; }
mapfile -t files < <(git ls-files '*.cc' '*.h')
if [ "${1:-}" = --fix ]; then
  clang-format -i --style=file "${files[@]}"
  exit 0
fi
err=$(mktemp)
if ! clang-format --dry-run --Werror --style=file "${files[@]}" 2>"$err"; then
  grep -m 20 'error:' "$err" >&2 || true
  rm -f "$err"
  echo "format-check: files differ from .clang-format; scripts/format-check.sh --fix rewrites them" >&2
  exit 1
fi
rm -f "$err"
echo "format-check: ${#files[@]} files follow .clang-format"
