#!/usr/bin/env bash
# Runs a command inside the end-to-end prefix, BUILD_DIR/e2e-prefix, with the
# stand-ins installed: a prefix of its own, so that the unit tests' prefix
# (BUILD_DIR/wineprefix) keeps Wine's real WMI.
#   tests/standins/e2e-env.sh BUILD_DIR COMMAND...
# Makes the prefix when it is missing, (re)installs the stand-ins, keeps one
# persistent wineserver for the length of the command and stops it afterwards.
set -euo pipefail
build_dir=$(cd "$1" && pwd); shift
here=$(cd "$(dirname "$0")" && pwd)

export WINEPREFIX="$build_dir/e2e-prefix"
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
  # As for the unit tests' prefix: services made in the session that created
  # the prefix are not seen by other processes until the server restarts.
  stop_server
  setsid "$WINESERVER" -p </dev/null >/dev/null 2>&1 || true
  setsid "$WINE" wineboot </dev/null >/dev/null 2>&1 || true
  touch "$WINEPREFIX/.tvr-booted"
else
  setsid "$WINE" wineboot </dev/null >/dev/null 2>&1 || true
fi
"$here/install-standins.sh" "$build_dir"

"$@"
