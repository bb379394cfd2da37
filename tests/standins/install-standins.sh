#!/usr/bin/env bash
# Installs the stand-ins into the end-to-end prefix ($WINEPREFIX, normally
# BUILD_DIR/e2e-prefix; run through e2e-env.sh): the firmware WMI provider as
# the in-process server of the WMI locator, and the registry entries of two
# laptop/slate indicator devices. Safe to run again.
#   tests/standins/install-standins.sh BUILD_DIR
set -euo pipefail
build_dir=$(cd "$1" && pwd)
case "${WINEPREFIX:-}" in
  */e2e-prefix) ;;
  *) echo "install-standins: WINEPREFIX must be the end-to-end prefix, not '${WINEPREFIX:-}'" >&2; exit 1 ;;
esac
home="$WINEPREFIX/drive_c/tvr-standins"
mkdir -p "$home"
cp "$build_dir/standins/tvr_firmware_wmi.dll" "$home/"
rm -f "$home/wmi-journal.txt" "$home/firmware-state.txt"

# CLSID_WbemLocator: the service's CoCreateInstance(CLSCTX_INPROC_SERVER)
# loads the stand-in instead of Wine's wbemprox.
key='HKCR\CLSID\{4590F811-1D3A-11D0-891F-00AA004B2E24}\InprocServer32'
"$WINE" reg add "$key" /ve /t REG_SZ /d 'C:\tvr-standins\tvr_firmware_wmi.dll' /f >/dev/null 2>&1
"$WINE" reg add "$key" /v ThreadingModel /t REG_SZ /d Both /f >/dev/null 2>&1
"$WINE" "$build_dir/standins/standin_tool.exe" devices 2
