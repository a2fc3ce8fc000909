#!/bin/sh
# Builds and runs the benchmarks under Wine: the shared-memory channel, the
# channel between many processes with kills, then the launcher's hand-on of
# a request.
# Usage: scripts/bench.sh [build-folder [other-bin-folder]]   (default: build)
# With another build's bin folder, the launcher benchmark times that build's
# phases in the same rounds as this one's, for a before and after comparison.
set -e
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
sh "$root/scripts/install-prerequisites.sh"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j2 --target shm_bench shm_fault_run launcher_bench
prefix="$build/wineprefix"
sh "$root/cmake/wine/wine-session.sh" start "$prefix"
trap 'sh "$root/cmake/wine/wine-session.sh" stop "$prefix"' EXIT
sh "$root/cmake/wine/wine-run.sh" "$prefix" "$build/bin/shm_bench.exe"
sh "$root/cmake/wine/wine-run.sh" "$prefix" "$build/bin/shm_fault_run.exe"
sh "$root/cmake/wine/wine-run.sh" "$prefix" "$build/bin/launcher_bench.exe" ${2:+"$2"}
