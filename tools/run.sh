#!/usr/bin/env bash
# Runs the built service executable from a console under Wine. Without the
# service control manager behind it, it prints its usage text and the
# dispatcher's failure, which is the expected output from a console.
set -euo pipefail
build_dir=$1
exec "$(dirname "$0")/wine-env.sh" "$build_dir" bash -c '"$WINE" "$0/TVRSvc.exe"' "$(cd "$build_dir" && pwd)"
