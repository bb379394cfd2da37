#!/usr/bin/env bash
# Builds the Windows Installer package of one build of the service:
#   tools/package.sh --exe TVRSvc.exe --version X.Y.Z --out TVRSvc-X.Y.Z.msi
#                    [--sign-cert CERT.pem --sign-key KEY.pem] [--extra-sql FILE]...
# wixl builds the package from package/TVRSvc.wxs; package/tables.sql (and
# each --extra-sql file: one statement a line, "--" lines are comments) then
# adds what wixl cannot express. With a certificate and its key, the
# executable is signed before it goes into the package, and the package once
# it is built.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

exe="" version="" out="" cert="" key=""
extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --exe) exe=$2; shift 2 ;;
    --version) version=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --sign-cert) cert=$2; shift 2 ;;
    --sign-key) key=$2; shift 2 ;;
    --extra-sql) extra+=("$2"); shift 2 ;;
    *) echo "package.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$exe" ] || [ -z "$version" ] || [ -z "$out" ]; then
  echo "package.sh: --exe, --version and --out are needed" >&2; exit 2
fi
if { [ -n "$cert" ] && [ -z "$key" ]; } || { [ -z "$cert" ] && [ -n "$key" ]; }; then
  echo "package.sh: signing needs both a certificate and its key" >&2; exit 2
fi
if [[ ! "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
  echo "package.sh: the version must be major.minor.patch, not '$version'" >&2; exit 2
fi

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
out_path="$(cd "$(dirname "$out")" && pwd)/$(basename "$out")"

sign() {  # sign IN OUT
  osslsigncode sign -certs "$cert" -key "$key" -h sha256 -n "Tavrel Service" -in "$1" -out "$2" >/dev/null
}

if [ -n "$cert" ]; then
  sign "$exe" "$stage/TVRSvc.exe"
else
  cp "$exe" "$stage/TVRSvc.exe"
fi

# wixl takes file sources relative to the folder it runs in.
(cd "$stage" && wixl -a x64 -D Version="$version" -o "$stage/package.msi" "$root/package/TVRSvc.wxs")

for sql in "$root/package/tables.sql" ${extra[@]+"${extra[@]}"}; do
  while IFS= read -r statement || [ -n "$statement" ]; do
    case "$statement" in '' | --*) continue ;; esac
    if ! msibuild "$stage/package.msi" -q "$statement"; then
      echo "package.sh: $sql: this statement failed: $statement" >&2
      exit 1
    fi
  done < "$sql"
done

if [ -n "$cert" ]; then
  sign "$stage/package.msi" "$stage/signed.msi"
  mv "$stage/signed.msi" "$stage/package.msi"
fi
mv "$stage/package.msi" "$out_path"
