#!/usr/bin/env bash
# Builds the documentation (docs/) into build/docs with Sphinx from .venv,
# the C++ reference with Doxygen and breathe; any warning fails the build.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=.venv/bin/python
"$PY" -c 'import sphinx, breathe' 2>/dev/null || "$PY" -m pip install -q --disable-pip-version-check sphinx breathe
command -v doxygen >/dev/null 2>&1 || { echo "docs.sh: doxygen is missing (bash scripts/setup.sh --test installs it)" >&2; exit 1; }
"$PY" -m sphinx -W --keep-going -q -b html docs build/docs
echo "-- documentation in build/docs/index.html"
