#!/bin/sh
# Installs the cross toolchain, Wine and the libraries on a Debian machine.
set -e
packages="g++-mingw-w64-x86-64-posix wine wine64 cmake make nlohmann-json3-dev libfmt-dev googletest"
missing=""
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing="$missing $package"
done
if [ -n "$missing" ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
fi
