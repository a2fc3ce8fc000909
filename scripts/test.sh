#!/bin/sh
# Installs what is missing, builds everything and runs every test under Wine,
# then the native sanitizer tests and short fuzz runs, then the style check.
# Usage: scripts/test.sh [build-folder]   (default: build)
set -e
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
sh "$root/scripts/install-prerequisites.sh"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j2
(cd "$build" && ctest --output-on-failure -j2)
sh "$root/scripts/native-test.sh"
sh "$root/scripts/check-style.sh"
