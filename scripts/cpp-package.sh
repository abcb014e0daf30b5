#!/usr/bin/env bash
# The C++ library as a C++ user gets it: configured with the install option
# alone, built and installed (static, then shared) into fresh prefixes under
# build/cpp-package/, then examples/cpp built against each prefix with
# find_package only (and once more with pkg-config) and run against velkor-sim
# for two seconds. Fails when a step fails or the example reports failures.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
B=$ROOT/build/cpp-package
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
[ -x .venv/bin/cmake ] || bash scripts/setup.sh
export PATH="$ROOT/.venv/bin:$PATH"
mkdir -p "$B"

step() { printf '== %s (%ds)\n' "$1" "$SECONDS"; }
sim_pid=""
cleanup() { [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true; }
trap cleanup EXIT

run_example() {  # binary, label
  local line
  rm -f "$B/sim.out"
  .venv/bin/velkor-sim --device arm >"$B/sim.out" 2>"$B/sim.err" &
  sim_pid=$!
  for _ in $(seq 100); do [ -s "$B/sim.out" ] && break; sleep 0.1; done
  line=$(head -n1 "$B/sim.out")
  [ -n "$line" ] || { echo "velkor-sim printed no line"; cat "$B/sim.err"; exit 1; }
  echo "-- $2 against velkor-sim on $line"
  "$1" "$line" 2
  kill "$sim_pid"
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
}

for kind in static shared; do
  shared=OFF
  [ $kind = shared ] && shared=ON
  prefix=$B/prefix-$kind
  step "Library ($kind): configure, build, install into a fresh prefix"
  rm -rf "$prefix" "$B/example-$kind"
  cmake -S . -B "$B/build-$kind" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELKOR_BUILD_MODULE=OFF \
    -DVELKOR_INSTALL=ON -DVELKOR_SHARED=$shared -DCMAKE_INSTALL_PREFIX="$prefix" >"$B/configure-$kind.log" 2>&1 ||
    { tail -30 "$B/configure-$kind.log"; exit 1; }
  cmake --build "$B/build-$kind" --target velkor_hwapi >"$B/build-$kind.log" 2>&1 || { tail -40 "$B/build-$kind.log"; exit 1; }
  cmake --install "$B/build-$kind" --component Library >"$B/install-$kind.log" 2>&1 ||
    { tail -20 "$B/install-$kind.log"; exit 1; }
  step "Example ($kind): find_package(VelkorHardwareAPI) from the prefix"
  cmake -S examples/cpp -B "$B/example-$kind" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$B/example-$kind.log" 2>&1 ||
    { tail -30 "$B/example-$kind.log"; exit 1; }
  cmake --build "$B/example-$kind" >>"$B/example-$kind.log" 2>&1 || { tail -30 "$B/example-$kind.log"; exit 1; }
  run_example "$B/example-$kind/servo_wall" "servo_wall ($kind)"
done

step "Example through pkg-config (static prefix)"
if command -v pkg-config >/dev/null 2>&1; then
  flags=$(PKG_CONFIG_PATH="$B/prefix-static/lib/pkgconfig" pkg-config --cflags --libs velkor-hardware-api)
  # shellcheck disable=SC2086
  g++ -std=c++17 -O2 -Wall -Wextra -Werror examples/cpp/servo_wall.cpp -o "$B/servo_wall-pkgconfig" $flags
  run_example "$B/servo_wall-pkgconfig" "servo_wall (pkg-config)"
else
  echo "-- pkg-config is not installed: skipped"
fi
step "C++ package done"
