#!/bin/sh
# Checks the layout of every C++ file against .clang-format, and runs
# clang-tidy (.clang-tidy) over the sources of the native build given
# (default build-asan, configured by scripts/native-test.sh). Lists what
# differs and fails; nothing is changed. To apply the layout (twice: clang-format
# 14 settles some lines only on a second pass):
#   git ls-files '*.cpp' '*.h' | xargs clang-format -i && git ls-files '*.cpp' '*.h' | xargs clang-format -i
set -e
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-asan}"
cd "$root"
status=0
unformatted="$(git ls-files '*.cpp' '*.h' | while read -r file; do
  clang-format --dry-run --Werror "$file" >/dev/null 2>&1 || echo "$file"
done)"
if [ -n "$unformatted" ]; then
  echo "not in the layout of .clang-format:"
  echo "$unformatted" | sed 's/^/  /'
  status=1
fi
sources="$(grep -o '"file": "[^"]*/src/[^"]*\.cpp"' "$build/compile_commands.json" |
  sed 's/"file": "//; s/"$//' | sort -u)"
# shellcheck disable=SC2086
clang-tidy -p "$build" --quiet $sources 2>/dev/null | grep -E "(warning|error):" && status=1
[ $status -eq 0 ] && echo "layout and clang-tidy: clean"
exit $status
