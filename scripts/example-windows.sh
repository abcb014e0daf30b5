#!/usr/bin/env bash
# The C++ package for Windows: the library cross-built with MinGW-w64
# (cmake/mingw-w64-x86_64.cmake) and installed into a fresh prefix, the
# example (examples/cpp) built against it with find_package only, then run
# under Wine for two seconds against velkor-sim on a Linux pty mapped to COM5.
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

step "Windows library: cross build, install into a fresh prefix"
rm -rf "$B/prefix" "$B/example"
"$CMAKE" -S . -B "$B/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
  -DVELKOR_BUILD_MODULE=OFF -DVELKOR_INSTALL=ON -DCMAKE_INSTALL_PREFIX="$B/prefix" >"$B/configure.log" 2>&1 ||
  { tail -30 "$B/configure.log"; exit 1; }
"$CMAKE" --build "$B/build" --target velkor_hwapi >"$B/build.log" 2>&1 || { tail -40 "$B/build.log"; exit 1; }
"$CMAKE" --install "$B/build" --component Library >"$B/install.log" 2>&1 || { tail -20 "$B/install.log"; exit 1; }

step "Windows example: find_package(VelkorHardwareAPI) from the prefix"
"$CMAKE" -S examples/cpp -B "$B/example" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$B/prefix" >"$B/example.log" 2>&1 || { tail -30 "$B/example.log"; exit 1; }
"$CMAKE" --build "$B/example" >>"$B/example.log" 2>&1 || { tail -30 "$B/example.log"; exit 1; }

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

step "servo_wall.exe under Wine against velkor-sim on COM5"
rm -f "$B/arm"
.venv/bin/velkor-sim --device arm --link "$B/arm" >"$B/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -e "$B/arm" ] && break; sleep 0.1; done
[ -e "$B/arm" ] || { echo "the simulator's line did not appear"; cat "$B/sim.log"; exit 1; }
ln -sfn "$B/arm" "$WINEPREFIX/dosdevices/com5"
# A Windows console program's output reaches a file only through a pipe.
wine "$B/example/servo_wall.exe" COM5 2 2>&1 | tr -d '\r' | tee "$B/run.log"
status=${PIPESTATUS[0]}
step "Windows example done"
exit "$status"
