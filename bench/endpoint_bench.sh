#!/bin/sh
# Builds and runs the start-up benchmark of the IPC endpoint under Wine.
# Usage: bench/endpoint_bench.sh [build-folder]   (default: build)
set -e
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
cmake --build "$build" -j2 --target endpoint_bench
prefix="$build/wineprefix"
sh "$root/cmake/wine/wine-session.sh" start "$prefix"
trap 'sh "$root/cmake/wine/wine-session.sh" stop "$prefix"' EXIT
sh "$root/cmake/wine/wine-run.sh" "$prefix" "$build/bin/endpoint_bench.exe"
