#!/bin/sh
# Shows what the launcher does with real requests. It lays out a sample
# installation in a Wine prefix of its own (build/demo-wineprefix): the
# registry values of the install layout and a version folder whose
# Kestova.exe, KestovaStore.exe and KestovaAssistant.exe are stand-ins that
# write down the command line they were started with. A running client is
# played by KestovaIpc listening as that client and holding its mutexes; it
# prints each packet it receives.
# Usage: scripts/demo.sh [build-folder]   (default: build)
set -e
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
sh "$root/scripts/install-prerequisites.sh" demo
if [ ! -f "$build/CMakeCache.txt" ]; then
  echo "Configuring $build ..."
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
echo "Building the launcher, KestovaIpc and the stand-in (a few minutes the first time) ..."
# The build's own progress lines, without the commands between them.
cmake --build "$build" -j2 --target KestovaLauncher KestovaIpc stand_in >"$build/demo-build.log" 2>&1 &
builder=$!
shown=0
while kill -0 "$builder" 2>/dev/null; do
  sleep 5
  progress="$(grep -o '^\[ *[0-9]*%\]\|^\[[0-9]*/[0-9]*\]' "$build/demo-build.log" | tail -n 1)"
  if [ -n "$progress" ] && [ "$progress" != "$shown" ]; then
    echo "  $progress"
    shown="$progress"
  fi
done
if ! wait "$builder"; then
  cat "$build/demo-build.log"
  exit 1
fi

prefix="$build/demo-wineprefix"
set -- "$prefix"
. "$root/cmake/wine/wine-env.sh"
echo "Starting Wine in $prefix (the first time takes a while) ..."
sh "$root/cmake/wine/wine-session.sh" start "$prefix"
trap 'sh "$root/cmake/wine/wine-session.sh" stop "$prefix"' EXIT
wine() { "$WINE_LOADER" "$@"; }

# Words as a shell reads them back: quoted unless every character is plain.
shell_words() {
  for word in "$@"; do
    case "$word" in
      '' | *[!A-Za-z0-9_./:=@%+,-]*)
        printf " '%s'" "$(printf '%s' "$word" | sed "s/'/'\\\\''/g")"
        ;;
      *) printf ' %s' "$word" ;;
    esac
  done
}

version=5.1.2.3
install="$prefix/drive_c/KestovaDemo"
records="$install/records"
rm -rf "$install"
mkdir -p "$install/Application/$version" "$records"
for name in Kestova.exe KestovaStore.exe KestovaAssistant.exe KestovaSvr.exe; do
  cp "$build/bin/stand_in.exe" "$install/Application/$version/$name"
done
wine reg add 'HKLM\SOFTWARE\Velmora\Kestova' /v InstallPath /d 'C:\KestovaDemo' /f >/dev/null 2>&1
wine reg add 'HKCU\SOFTWARE\Velmora\Kestova\Kestova' /v Version /d "$version" /f >/dev/null 2>&1
export KESTOVA_STAND_IN_RECORD_DIR='C:\KestovaDemo\records'
work="$(mktemp -d)"
trap 'sh "$root/cmake/wine/wine-session.sh" stop "$prefix"; rm -rf "$work"' EXIT

echo
printf '%s\n' "Sample installation: InstallPath C:\\KestovaDemo, version $version," \
  "stand-ins in C:\\KestovaDemo\\Application\\$version" \
  "Each request below runs again by hand with its arguments after" \
  "  cmake/wine/wine-run.sh$(shell_words "$prefix" "$build/bin/KestovaLauncher.exe")"

emulator_marker='Global\55DCE4A4-2426-4814-96E5-5E6419171E71'
store_marker='Global\KestovaStore.exe'
listener=""

# client MODULE MARKER: a running client, ready before the launcher runs.
client() {
  wine "$build/bin/KestovaIpc.exe" listen "$1" --hold "$2" --count 1 --idle-ms 15000 \
    >"$work/packets" 2>/dev/null &
  listener=$!
  tries=0
  until grep -qx ready "$work/packets" 2>/dev/null; do
    tries=$((tries + 1))
    [ $tries -lt 300 ] || { echo "the listener did not start"; exit 1; }
    sleep 0.1
  done
  printf '%s\n' "($1 running: KestovaIpc holds $2)"
}

# launch TITLE ARGUMENTS...: runs the launcher and shows what it did.
launch() {
  title="$1"
  shift
  echo
  printf '%s\n' "== $title" "\$ KestovaLauncher.exe$(shell_words "$@")"
  rm -f "$records"/*
  log="$(find "$prefix/drive_c/users" -path '*Velmora/Kestova/launcher.log' 2>/dev/null | head -n 1)"
  [ -z "$log" ] || : >"$log"
  code=0
  wine "$build/bin/KestovaLauncher.exe" "$@" 2>/dev/null || code=$?
  echo "exit code: $code"
  if [ -n "$listener" ]; then
    wait "$listener" || true
    printf '%s\n' "the client received: $(sed -n 2p "$work/packets")"
    listener=""
  fi
  tries=0
  while [ -z "$(ls "$records")" ] && [ $tries -lt 20 ]; do
    tries=$((tries + 1))
    sleep 0.1
  done
  if [ -z "$(ls "$records")" ]; then
    echo "started: nothing"
  else
    for record in "$records"/*; do
      printf '%s\n' "started: $(head -n 1 "$record" | tr -d '\r')"
    done
  fi
  log="$(find "$prefix/drive_c/users" -path '*Velmora/Kestova/launcher.log' | head -n 1)"
  echo "log:"
  grep '\]\[[A-Za-z]*\]: ' "$log" | sed 's/^\[[^]]*\] \[[0-9.]*\]/  /'
}

client EmulatorClient "$emulator_marker"
launch "An app launch while the emulator client runs: one packet, nothing started" \
  --launch-proc-name Kestova.exe --launch-pkg-name com.example.app --from 3

launch "The same app launch with no client: Kestova.exe is started with the request" \
  --launch-proc-name Kestova.exe --launch-pkg-name com.example.app --from 3

client StoreClient "$store_marker"
launch "A kestova:// link while the store client runs: it gets the link" \
  'kestova://app/detail?id=1&x=2'

launch "The same link with the store client stopped: KestovaStore.exe is started" \
  'kestova://app/detail?id=1&x=2'

launch "A toast link goes to the assistant, each & written as %c(26)" \
  'kestova://client/notify?kestova_toast_task_id=5&id=1'

launch "A partner's VM stop with no client: nothing is started" \
  --launch-proc-name Kestova.exe '--oem-stop-vm={"oem_name":"acme"}'

launch "A name that leaves the version folder: nothing is started, the log says why" \
  --launch-proc-name '..\..\x.exe' --from 3
