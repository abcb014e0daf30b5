#!/usr/bin/env bash
# The C++ package for Windows: the library cross-built with MinGW-w64
# (cmake/mingw-w64-x86_64.cmake), static and as a DLL, each installed into a
# fresh prefix, the example (examples/cpp) built against each with
# find_package only, then run under Wine for two seconds against velkor-sim on
# a Linux pty mapped to COM5.
# Kept apart from scripts/test-windows.sh; run after it, it reuses its Wine
# prefix, otherwise it makes one of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
B=$ROOT/build/windows-example
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
step() { printf '== %s (%ds)\n' "$1" "$SECONDS"; }

missing=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || missing+=(g++-mingw-w64-x86-64)
command -v wine >/dev/null 2>&1 || missing+=(wine)
[ -x /usr/lib/wine/wine64 ] || missing+=(wine64)
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
[ -x .venv/bin/velkor-sim ] || bash scripts/setup.sh
CMAKE=$ROOT/.venv/bin/cmake
export PATH="$ROOT/.venv/bin:$PATH"
TOOLCHAIN=$ROOT/cmake/mingw-w64-x86_64.cmake
mkdir -p "$B"

for kind in static shared; do
  shared=OFF
  [ $kind = shared ] && shared=ON
  step "Windows library ($kind): cross build, install into a fresh prefix"
  rm -rf "$B/prefix-$kind" "$B/example-$kind"
  "$CMAKE" -S . -B "$B/build-$kind" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DVELKOR_BUILD_MODULE=OFF -DVELKOR_INSTALL=ON -DVELKOR_SHARED=$shared -DCMAKE_INSTALL_PREFIX="$B/prefix-$kind" \
    >"$B/configure-$kind.log" 2>&1 || { tail -30 "$B/configure-$kind.log"; exit 1; }
  "$CMAKE" --build "$B/build-$kind" --target velkor_hwapi >"$B/build-$kind.log" 2>&1 ||
    { tail -40 "$B/build-$kind.log"; exit 1; }
  "$CMAKE" --install "$B/build-$kind" --component Library >"$B/install-$kind.log" 2>&1 ||
    { tail -20 "$B/install-$kind.log"; exit 1; }
  step "Windows example ($kind): find_package(VelkorHardwareAPI) from the prefix"
  "$CMAKE" -S examples/cpp -B "$B/example-$kind" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$B/prefix-$kind" >"$B/example-$kind.log" 2>&1 ||
    { tail -30 "$B/example-$kind.log"; exit 1; }
  "$CMAKE" --build "$B/example-$kind" >>"$B/example-$kind.log" 2>&1 || { tail -30 "$B/example-$kind.log"; exit 1; }
  # Windows finds a program's DLLs beside it.
  [ $kind = static ] || cp "$B/prefix-$kind/bin/libvelkor_hwapi.dll" "$B/example-$kind/"
done

step "Wine prefix"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ -f "$ROOT/build/windows/prefix/system.reg" ]; then
  export WINEPREFIX=$ROOT/build/windows/prefix
else
  export WINEPREFIX=$B/wine
  [ -f "$WINEPREFIX/system.reg" ] || { mkdir -p "$WINEPREFIX"; wineboot -i >/dev/null 2>&1; }
fi
sim_pid=""
cleanup() {
  [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

rm -f "$B/arm"
.venv/bin/velkor-sim --device arm --link "$B/arm" >"$B/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -e "$B/arm" ] && break; sleep 0.1; done
[ -e "$B/arm" ] || { echo "the simulator's line did not appear"; cat "$B/sim.log"; exit 1; }
ln -sfn "$B/arm" "$WINEPREFIX/dosdevices/com5"
status=0
for kind in static shared; do
  step "servo_wall.exe ($kind) under Wine against velkor-sim on COM5"
  # A Windows console program's output reaches a file only through a pipe.
  wine "$B/example-$kind/servo_wall.exe" COM5 2 2>&1 | tr -d '\r' | tee "$B/run-$kind.log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
done
step "Windows example done"
exit "$status"
