#!/bin/sh
# Cross-compiling emulator for ctest: wine-run.sh PREFIX PROGRAM [ARGS...]
. "$(dirname "$0")/wine-env.sh"
shift
exec "$WINE_LOADER" "$@"
