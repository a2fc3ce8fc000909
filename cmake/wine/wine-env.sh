# Sourced by the Wine scripts with the build's prefix as $1: quiet, no
# prompts for Mono or Gecko, which nothing here needs, and no debugger on a
# crash, which would hold the crashed program for seconds and print pages.
: "${1:?the Wine prefix of the build is the first argument}"
export WINEPREFIX="$1"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
WINE_LOADER=/usr/lib/wine/wine64
[ -x "$WINE_LOADER" ] || WINE_LOADER=wine64
export WINELOADER="$WINE_LOADER"
# Debian's wine64 package has no wineserver on PATH; the wine package adds it.
WINE_SERVER=/usr/lib/wine/wineserver64
[ -x "$WINE_SERVER" ] || WINE_SERVER=wineserver
export WINESERVER="$WINE_SERVER"
