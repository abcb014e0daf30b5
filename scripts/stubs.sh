#!/usr/bin/env bash
# Regenerates the module's type stubs (python/VelkorHardwareAPI-stubs) from the
# module installed in .venv: pybind11-stubgen, then scripts/refine_stubs.py.
#   bash scripts/stubs.sh          rewrite the stubs in the repo
#   bash scripts/stubs.sh --check  fail if they differ from what the module gives,
#                                  then check them with stubtest and mypy --strict
set -euo pipefail
cd "$(dirname "$0")/.."

PY=.venv/bin/python
STUBGEN_VERSION=3.0.0
STUBS=python/VelkorHardwareAPI-stubs/__init__.pyi

if ! "$PY" -m pybind11_stubgen --help >/dev/null 2>&1 || ! "$PY" -c 'import mypy' 2>/dev/null; then
  echo "-- installing pybind11-stubgen and mypy into .venv"
  "$PY" -m pip install -q --disable-pip-version-check "pybind11-stubgen==$STUBGEN_VERSION" mypy
fi

out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
"$PY" -m pybind11_stubgen VelkorHardwareAPI --output-dir "$out" >/dev/null
"$PY" scripts/refine_stubs.py "$out/VelkorHardwareAPI.pyi" "$out/refined.pyi"

if [ "${1:-}" != "--check" ]; then
  cp "$out/refined.pyi" "$STUBS"
  echo "-- wrote $STUBS"
  exit 0
fi

if ! diff -u "$STUBS" "$out/refined.pyi"; then
  echo "$STUBS is out of date with the module: run bash scripts/stubs.sh and commit it" >&2
  exit 1
fi
echo "-- stubs match the module"
# stubtest reads stubs from a folder on MYPYPATH, named as the module.
mkdir -p "$out/path"
cp "$STUBS" "$out/path/VelkorHardwareAPI.pyi"
MYPYPATH="$out/path" "$PY" -m mypy.stubtest VelkorHardwareAPI --allowlist scripts/stubtest-allowlist.txt
echo "-- mypy --strict examples/ python/velkor_cli python/velkor_sim/__init__.py python/velkor_remote python/velkor_view"
MYPYPATH="$out/path" "$PY" -m mypy --strict --no-incremental examples/ python/velkor_cli python/velkor_sim/__init__.py \
  python/velkor_remote python/velkor_view
