#!/usr/bin/env bash
# The whole test suite from a fresh machine: install, build, then run every test in a
# loopback-only network namespace.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
scripts/in-loopback-ns.sh scripts/run-tests.sh
