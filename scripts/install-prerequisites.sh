#!/bin/sh
# Installs the cross toolchain, Wine and the libraries on a Debian machine,
# and clang with its sanitizer and fuzzer runtimes, clang-format and
# clang-tidy for the native build and the style check.
set -e
packages="g++-mingw-w64-x86-64-posix wine wine64 cmake make nlohmann-json3-dev libfmt-dev googletest
  clang libclang-rt-14-dev llvm clang-format clang-tidy"
missing=""
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing="$missing $package"
done
if [ -n "$missing" ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
fi
