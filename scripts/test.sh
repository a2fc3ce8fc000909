#!/bin/sh
# Installs what is missing, builds everything and runs every test under Wine.
# Usage: scripts/test.sh [build-folder]   (default: build)
set -e
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
sh "$root/scripts/install-prerequisites.sh"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j2
cd "$build"
ctest --output-on-failure -j2
