#!/usr/bin/env bash
# Builds the C++ tests (plain, address-sanitized, and the asynchronous ones thread-sanitized), the
# fuzz targets, and installs the Python package.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/plain -j "$jobs"

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUOTIX_SANITIZE=ON >/dev/null
cmake --build build/asan -j "$jobs"

# The asynchronous client's tests alone, under the thread sanitizer.
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUOTIX_TSAN=ON >/dev/null
cmake --build build/tsan -j "$jobs"

if ls tests/fuzz/fuzz_*.cpp >/dev/null 2>&1; then
  CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUOTIX_FUZZ=ON >/dev/null
  cmake --build build/fuzz -j "$jobs"
fi

if [ -f src/module.cpp ]; then
  python3 -m pip install -q --disable-pip-version-check --no-build-isolation .
fi
