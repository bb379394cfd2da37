#!/usr/bin/env bash
# `make run`: the real service against the simulated convertible, under Wine.
# Prints the timeline of a scenario, one row per step, and a one-line verdict.
#   tools/run.sh BUILD_DIR [SCENARIO_FILE]
# Without a file the built-in scenario runs.
# With REAL=1 the scenario drives the installed TVRSvc.exe instead, in the
# end-to-end prefix with the stand-ins (tests/standins/); without a file it
# runs tests/standins/scenarios/installed.txt. Steps Wine cannot deliver to
# an installed service are refused before anything runs. Wine starts in the current
# directory (as drive Z:), so the file's path is passed on as given and error
# messages name it as the user wrote it.
# Exit code: 0 in line, 1 out of line or resources not given back, 2 a
# malformed scenario (nothing ran), 3 the service hung.
set -euo pipefail
build_dir=$1
scenario=${2:-}
if [ "${REAL:-}" = 1 ] && [ -z "$scenario" ]; then
  scenario="$(dirname "$0")/../tests/standins/scenarios/installed.txt"
fi
if [ -n "$scenario" ] && [ ! -r "$scenario" ]; then
  echo "$scenario: cannot read the scenario file" >&2
  echo "nothing was run." >&2
  exit 2
fi
if [ "${REAL:-}" = 1 ]; then
  exec "$(dirname "$0")/../tests/standins/e2e-env.sh" "$build_dir" bash -c \
    'set -o pipefail; "$WINE" "$0/standins/tvr_real.exe" "$1" 2>&1 | tr -d "\r"' \
    "$(cd "$build_dir" && pwd)" "$scenario"
fi
exec "$(dirname "$0")/wine-env.sh" "$build_dir" bash -c \
  'set -o pipefail; "$WINE" "$0/sim/tvrsim.exe" ${1:+"$1"} 2>&1 | tr -d "\r"' \
  "$(cd "$build_dir" && pwd)" "$scenario"
