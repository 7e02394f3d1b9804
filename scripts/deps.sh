#!/usr/bin/env bash
# Every dependency of the build and the tests, installed in one place (Debian + PyPI).
set -euo pipefail

APT_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  zlib1g-dev            # inflate of compressed replies
  libicu-dev            # gb18030/UTF-16 text decoding
  nlohmann-json3-dev    # smart client's cache file
  libasio-dev           # asynchronous client
  libgtest-dev          # C++ tests
  clang libclang-rt-14-dev  # libFuzzer targets
  iproute2 util-linux   # loopback-only namespace for the tests
  python3-dev
)
PIP_PACKAGES=(scikit-build-core pandas numpy pytest hypothesis)

missing=()
for p in "${APT_PACKAGES[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

python3 -m pip install -q --disable-pip-version-check "${PIP_PACKAGES[@]}"
