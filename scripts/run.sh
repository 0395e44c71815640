#!/usr/bin/env bash
# The launcher's main job on a fresh Debian 12 machine: install what it needs, build, start the
# local vendor server with a demo package and run the launcher in a fresh working directory,
# which installs the demo application and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset dev >/dev/null && cmake --build --preset dev
# Debian's python3 (with python3-pytest, whose fixtures the demo uses), not another first on PATH.
exec /usr/bin/python3 scripts/demo.py "$@"
