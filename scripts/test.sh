#!/usr/bin/env bash
# Sets everything up, then runs every test: the C++ suite, the C++ suite again
# under AddressSanitizer and UndefinedBehaviorSanitizer, the Python suite, the chaos test, the
# type stubs against the module, the documentation, and the repaired wheel in a
# fresh virtual environment.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --test

export PATH="$PWD/.venv/bin:$PATH"
PYBIND11_DIR="$(.venv/bin/python -c 'import pybind11; print(pybind11.get_cmake_dir())')"

echo "== C++ suite"
cmake -S . -B build/tests -G Ninja -DVELKOR_BUILD_TESTS=ON -DVELKOR_BUILD_MODULE=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/tests
build/tests/velkor_tests

echo "== C++ suite under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/sanitize -G Ninja -DVELKOR_BUILD_TESTS=ON -DVELKOR_BUILD_MODULE=OFF -DVELKOR_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/sanitize
ASAN_OPTIONS="abort_on_error=1:halt_on_error=1:detect_leaks=1" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  build/sanitize/velkor_tests

echo "== Python suite"
.venv/bin/python -m pytest -q -p no:cacheprovider tests/python

echo "== The chaos test: random programs against a device with random timing, fixed seeds (about a minute)"
.venv/bin/python -m pytest -q -p no:cacheprovider tests/chaos

echo "== Type stubs against the module (stubtest), mypy --strict on the examples"
bash scripts/stubs.sh --check

echo "== Documentation, warnings as errors"
bash scripts/docs.sh

echo "== Wheel repaired to a manylinux tag, smoke-tested in a fresh virtual environment"
bash scripts/wheel.sh --smoke
