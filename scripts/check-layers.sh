#!/usr/bin/env bash
# The layer rules the build does not see. Which folder may include which is the build's: each
# layer compiles against an include root holding only the folders below it (CMakeLists.txt).
# What is left is checked here: no relative include steps around those roots, asio (the
# asynchronous client) and Python stay in their folders, and the wire format is declared in
# src/protocol/ alone.
set -uo pipefail
cd "$(dirname "$0")/.."
fail=0
report() {
  if [ -n "$2" ]; then
    printf 'layers: %s\n%s\n' "$1" "$2"
    fail=1
  fi
}

report "relative includes (write them from src/, e.g. \"core/error.hpp\"):" \
  "$(grep -rnE '^\s*#\s*include\s*"\.\.?/' src)"
report "Python.h outside src/python/ and src/module.cpp:" \
  "$(grep -rlE '#\s*include\s*[<"]([^">]*/)?Python\.h' src | grep -vE '^src/python/|^src/module\.cpp$')"
report "asio included outside src/async/:" \
  "$(grep -rlE '#\s*include\s*[<"](asio[./]|async/asio_config\.hpp)' src | grep -v '^src/async/')"
# Declarations start at the left margin; calls inside inline code are indented.
report "request packets, reply inflation, number decoders or block file parsers declared outside src/protocol/:" \
  "$(grep -rnE '^[A-Za-z].*\b(build_[a-z0-9_]+_packet|decompress_zlib|read_reply|read_response|response_body|read_[iuf](8|16|32|64)_(le|at)|read_price_varint|decode_[a-z_]+|parse_block|parse_block_groups)\s*\(' \
       --include='*.hpp' src | grep -v '^src/protocol/')"

[ $fail -eq 0 ] && echo "layers: ok"
exit $fail
