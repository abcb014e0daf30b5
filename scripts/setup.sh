#!/usr/bin/env bash
# Prepares a fresh machine: system packages, the virtual environment, and the
# package itself (module and simulator) built and installed into it.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
command -v g++ >/dev/null 2>&1 || missing+=(g++)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

PYTHON="${PYTHON:-python3}"
[ -x .venv/bin/python ] || "$PYTHON" -m venv .venv
.venv/bin/python -m pip install -q --disable-pip-version-check pytest pyserial cmake ninja "pybind11==2.13.6" scikit-build-core
.venv/bin/python -m pip install -q --disable-pip-version-check .
