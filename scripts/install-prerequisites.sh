#!/bin/sh
# Installs what is missing on a Debian machine.
# Usage: scripts/install-prerequisites.sh [demo|all]   (default: all)
#   demo: the cross toolchain, Wine and the libraries, enough to build and run
#         the programs (the build's configuration needs GoogleTest's sources)
#   all:  also clang with its sanitizer and fuzzer runtimes, clang-format and
#         clang-tidy for the native build and the style check
set -e
packages="g++-mingw-w64-x86-64-posix wine wine64 cmake make nlohmann-json3-dev libfmt-dev googletest"
case "${1:-all}" in
  demo) ;;
  all) packages="$packages clang libclang-rt-14-dev llvm clang-format clang-tidy" ;;
  *)
    echo "usage: $0 [demo|all]" >&2
    exit 2
    ;;
esac
missing=""
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing="$missing $package"
done
if [ -n "$missing" ]; then
  echo "Installing$missing ..."
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing
fi
