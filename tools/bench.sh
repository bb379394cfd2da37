#!/usr/bin/env bash
# Benchmarks, run inside the project's Wine prefix (see tools/wine-env.sh).
# Figures are printed, never asserted: targets are met here, not in tests.
set -uo pipefail
build=$(cd "$1" && pwd)
win() { echo "Z:$1"; }

echo "== Size"
tmp=$(mktemp -d)
x86_64-w64-mingw32-strip -o "$tmp/TVRSvc.exe" "$build/TVRSvc.exe"
echo "stripped TVRSvc.exe: $(stat -c %s "$tmp/TVRSvc.exe") bytes"
# Top-level blocks of llvm-readobj's listing start in the first column.
imports() { llvm-readobj --coff-imports "$build/TVRSvc.exe" | awk -v head="^$1 [{]" '$0 ~ head {take=1; next} take && $1 == "Name:" {printf "%s ", $2; take=0}'; }
echo "imports: $(imports Import)"
echo "delay imports: $(imports DelayImport)"

echo "== Start and stop through the service manager (side by side with a minimal service)"
"$WINE" "$build/bench/scm_bench.exe" startstop "$(win "$build/TVRSvc.exe")" \
  "$(win "$build/bench/tvr_baseline_service.exe")" "${ROUNDS:-15}" 2>&1 | tr -d '\r'

echo "== Start and stop cycles of the installed executable in a row"
"$WINE" "$build/bench/scm_bench.exe" cycles "$(win "$build/TVRSvc.exe")" "${CYCLES:-50}" 2>&1 | tr -d '\r'

echo "== Idle CPU over 10 s (read from the Wine process's /proc entry)"
fifo="$tmp/hold.out"
"$WINE" "$build/bench/scm_bench.exe" hold "$(win "$build/TVRSvc.exe")" 12 >"$fifo" 2>&1 &
holder=$!
for _ in $(seq 1 300); do grep -q running "$fifo" 2>/dev/null && break; sleep 0.1; done
# The service's own Wine process: its command line is the executable alone
# (the benchmark driver names the same path as an argument). The newest one
# is the running service; an older one could only be a leaving instance.
pid=""
for p in $(pgrep -f 'TVRSvc\.exe'); do
  args=$(tr '\0' '\n' <"/proc/$p/cmdline" 2>/dev/null | sed '/^$/d')
  [ "$(printf '%s\n' "$args" | wc -l)" = 1 ] && printf '%s' "$args" | grep -q 'TVRSvc\.exe *$' && pid=$p
done
if [ -n "$pid" ]; then
  ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
  hz=$(getconf CLK_TCK)
  t0=$(ticks "$pid"); sleep 10; t1=$(ticks "$pid" 2>/dev/null || echo "")
  if [ -n "$t1" ]; then
    echo "CPU time in 10 idle seconds: $(( (t1 - t0) * 1000 / hz )) ms (target < 10 ms; resolution $(( 1000 / hz )) ms; Wine process $pid)"
  else
    echo "the service process left during the idle window; idle CPU not measured"
  fi
else
  echo "the service process was not found; idle CPU not measured"
fi
wait "$holder"

if [ -x "$build/sim/tvrsim.exe" ]; then
  echo "== Decision latency in-process with the simulated convertible (logging off)"
  "$WINE" "$build/sim/tvrsim.exe" --bench 2>&1 | tr -d '\r'
fi
if [ -x "$build/standins/tvr_e2e_bench.exe" ]; then
  echo "== Firmware event to indicator byte: the installed executable and the stand-ins, beside a minimal client"
  # A prefix of its own, with the stand-ins installed (the same one the
  # end-to-end test uses).
  "$(dirname "$0")/../tests/standins/e2e-env.sh" "$build" \
    bash -c '"$WINE" "$0/standins/tvr_e2e_bench.exe" 250 2>&1 | tr -d "\r"' "$build"
fi
rm -rf "$tmp"
