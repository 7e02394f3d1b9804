#!/usr/bin/env bash
# Builds the package and runs a short example against the loopback mock quote server.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
if [ -f src/module.cpp ] && [ -f examples/demo.py ]; then
  python3 -m pip install -q --disable-pip-version-check --no-build-isolation .
  exec python3 examples/demo.py
fi
# Until the Python module exists, the demo is the C++ core's quickest check.
cmake -S . -B build/plain -G Ninja >/dev/null
cmake --build build/plain -j "$(nproc)"
exec build/plain/quotix_tests --gtest_brief=1
