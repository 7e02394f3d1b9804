#!/usr/bin/env bash
# Runs a command in a private network namespace that has only loopback, so no test can reach a
# public address even by mistake.
set -euo pipefail
if unshare -n true 2>/dev/null; then
  exec unshare -n -- bash -c 'ip link set lo up && exec "$@"' bash "$@"
fi
if [ "${CI:-}" = "true" ]; then
  echo "error: cannot create a network namespace; refusing to run the tests with the network" >&2
  exit 1
fi
echo "warning: network namespaces are unavailable here; running the tests directly" >&2
exec "$@"
