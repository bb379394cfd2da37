#!/usr/bin/env bash
# Runs a command inside the project's private Wine prefix (never ~/.wine).
#   tools/wine-env.sh BUILD_DIR COMMAND...
# Boots the prefix once, keeps one persistent wineserver for the length of the
# command and stops it afterwards. Wine's helper processes (services.exe,
# winedevice.exe) inherit the stdio of whoever started them and would hold a
# test runner's pipes open forever, so the server and the boot are started
# detached from our stdio.
set -euo pipefail
build_dir=$(cd "$1" && pwd); shift

export WINEPREFIX="$build_dir/wineprefix"
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
WINE=$(command -v wine64 || command -v wine)
export WINE
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver64)

stop_server() { "$WINESERVER" -k >/dev/null 2>&1 || true; }
trap stop_server EXIT

mkdir -p "$WINEPREFIX"
setsid "$WINESERVER" -p </dev/null >/dev/null 2>&1 || true
if [ ! -f "$WINEPREFIX/.tvr-booted" ]; then
  setsid "$WINE" wineboot -i </dev/null >/dev/null 2>&1 || true
  # Measured: within the server session that made the prefix, a service that
  # one process creates is not seen by the service manager calls of another
  # (installer tests then fail with 0x424 / 1060). Restarting the server and
  # booting once more gives every run the same, settled starting point.
  stop_server
  setsid "$WINESERVER" -p </dev/null >/dev/null 2>&1 || true
  setsid "$WINE" wineboot </dev/null >/dev/null 2>&1 || true
  touch "$WINEPREFIX/.tvr-booted"
else
  setsid "$WINE" wineboot </dev/null >/dev/null 2>&1 || true
fi

"$@"
