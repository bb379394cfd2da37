#!/usr/bin/env bash
# Installs what the build and the Wine test bench need, only when missing.
# Safe to run again and again: a machine that has everything is left alone.
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
# clang and lld: the second compiler; lld and llvm (llvm-dlltool) also link
# the executable with its delay imports. wixl, msitools and osslsigncode: the
# installer package and its signature; openssl makes the signing test's
# throwaway certificate.
for p in mingw-w64 wine wine64 cmake ninja-build googletest make clang lld llvm wixl msitools osslsigncode openssl; do
  have_pkg "$p" || need+=("$p")
done
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(mingw-w64)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
command -v ld.lld >/dev/null 2>&1 || need+=(lld)
command -v llvm-dlltool >/dev/null 2>&1 || need+=(llvm)

if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  SUDO=""
  [ "$(id -u)" = 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
