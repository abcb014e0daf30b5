#!/usr/bin/env bash
# Sets everything up, then runs a short 1 kHz haptic loop against the simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python examples/haptic_loop.py "$@"
