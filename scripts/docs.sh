#!/usr/bin/env bash
# Builds the documentation (docs/) into build/docs with Sphinx from .venv;
# any warning fails the build.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=.venv/bin/python
"$PY" -c 'import sphinx' 2>/dev/null || "$PY" -m pip install -q --disable-pip-version-check sphinx
"$PY" -m sphinx -W --keep-going -q -b html docs build/docs
echo "-- documentation in build/docs/index.html"
