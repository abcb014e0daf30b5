#!/usr/bin/env bash
# Sets everything up, then renders a wall and a sphere with the native 1 kHz servo loop
# against the simulator (examples/haptic_loop.py is the same job as a plain Python loop).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python examples/servo_wall_and_sphere.py "$@"
