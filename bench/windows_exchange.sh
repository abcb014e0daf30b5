#!/usr/bin/env bash
# Force exchanges per second through the module under Wine (Windows CPython,
# the MinGW-w64 build) against the simulated arm, with each reply sent in one
# write and split into several writes, as USB-serial bridges deliver replies
# in packets; Linux's rate on the same simulator beside it. Then how long a
# 1-byte write to a device that stopped reading takes to give up (its limit is
# 8 + 8 x 1 ms). Prints figures only; run scripts/test-windows.sh once first
# (it makes the build, the Windows Python and the Wine prefix this reuses).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
W=$ROOT/build/windows
[ -f "$W/python/python.exe" ] && ls "$W"/site/VelkorHardwareAPI*.pyd >/dev/null 2>&1 ||
  { echo "run bash scripts/test-windows.sh first"; exit 1; }
PY=.venv/bin/python
SECONDS_EACH=${SECONDS_EACH:-2}
export WINEPREFIX=$W/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export PYTHONPATH="$(winepath -w "$W/site" 2>/dev/null)"
mkdir -p "$W/bench"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT
wineserver -p 2>/dev/null || true  # already running for winepath: fine
wine "$W/python/python.exe" -c "import time; time.sleep(86400)" >/dev/null 2>&1 &
pids+=($!)

rate() {  # rate PYTHON-KIND PORT
  if [ "$1" = linux ]; then "$PY" tests/windows/exchange_rate.py "$2" "$SECONDS_EACH"
  else wine "$W/python/python.exe" tests/windows/exchange_rate.py "$2" "$SECONDS_EACH" 2>&1 | tr -d '\r'; fi
}
median() { printf '%s\n' "$@" | sort -n | sed -n 2p; }

printf '%-34s %12s %12s\n' "reply written as" "Linux /s" "Wine /s"
for split in "1" "3 1000" "6 200" "25 100"; do
  set -- $split
  link="$W/bench/arm$1"
  rm -f "$link"
  args=(--device arm --link "$link" --split "$1")
  [ $# -gt 1 ] && args+=(--split-gap-us "$2")
  .venv/bin/velkor-sim "${args[@]}" >/dev/null 2>&1 &
  sim=$!
  pids+=($sim)
  for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.1; done
  ln -sfn "$link" "$WINEPREFIX/dosdevices/com21"
  linux=() wine=()
  for _ in 1 2 3; do
    linux+=("$(rate linux "$(readlink "$link")")")
    wine+=("$(rate wine COM21)")
  done
  label="one write"
  [ "$1" -gt 1 ] && label="$1 writes, $2 us apart"
  printf '%-34s %12s %12s   (all: %s | %s)\n' "$label" "$(median "${linux[@]}")" "$(median "${wine[@]}")" \
    "${linux[*]}" "${wine[*]}"
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
done

# A line that never reads: fill it, then time 1-byte writes that must give up.
"$PY" tests/windows/ports.py "$W/bench/ports" deaf >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -e "$W/bench/ports/deaf" ] && break; sleep 0.1; done
ln -sfn "$W/bench/ports/deaf" "$WINEPREFIX/dosdevices/com22"
wine "$W/python/python.exe" - <<'PYEOF' 2>&1 | tr -d '\r'
import statistics, time
import VelkorHardwareAPI as api
stream = api.SerialStream("COM22")
arm = api.Vorlan3(stream, 0.5)
# 1-byte writes fill the line until one cannot go out; that one is timed. A
# write that gives up drops what the device has not taken, so each round fills
# the line again.
times = []
for _ in range(3):
    for _ in range(500000):
        start = time.perf_counter()
        try:
            arm.send_raw(b"\x55")
        except RuntimeError:
            times.append((time.perf_counter() - start) * 1000)
            break
if times:
    print(f"1-byte write to a line that stopped reading gives up after: "
          f"{', '.join(f'{t:.1f}' for t in times)} ms (its limit: 16 ms)")
else:
    print("1-byte writes never stalled")
PYEOF
