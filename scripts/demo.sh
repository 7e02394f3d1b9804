#!/usr/bin/env bash
# Builds the package and runs a short example against the loopback mock quote server.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
python3 -m pip install -q --disable-pip-version-check --no-build-isolation .
exec python3 examples/demo.py
