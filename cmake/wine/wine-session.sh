#!/bin/sh
# wine-session.sh start|stop PREFIX
# start: create the prefix if needed and keep a persistent wineserver, so each
# test's Wine start costs milliseconds instead of seconds. stop: end it.
set -e
action="$1"
shift
. "$(dirname "$0")/wine-env.sh"
case "$action" in
  start)
    mkdir -p "$WINEPREFIX"
    # Detached from the caller's output, or ctest would wait for it forever.
    # It ends by itself a minute after its last client, so a run that was
    # interrupted before the stop fixture leaves no server behind for long.
    # It refuses when a server of this prefix runs already, which serves too.
    "$WINE_SERVER" -p60 </dev/null >/dev/null 2>&1 || true
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      boot_log="$WINEPREFIX/wineboot.log"
      if ! "$WINE_LOADER" wineboot --init </dev/null >"$boot_log" 2>&1; then
        echo "wineboot --init failed in $WINEPREFIX:" >&2
        cat "$boot_log" >&2
        exit 1
      fi
    fi
    # Returns only once the prefix answers, so the first test does not pay for it.
    "$WINE_LOADER" cmd /c exit 0 </dev/null >/dev/null 2>&1
    ;;
  stop)
    "$WINE_SERVER" -k || true
    # Returns once the server is gone, so a run that follows at once starts
    # a server of its own instead of meeting this one on its way out.
    "$WINE_SERVER" -w || true
    ;;
  *)
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
    ;;
esac
