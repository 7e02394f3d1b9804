#!/usr/bin/env bash
# Runs every test suite against the build made by scripts/build.sh. Meant to run inside the
# loopback-only namespace (scripts/in-loopback-ns.sh).
set -uo pipefail
cd "$(dirname "$0")/.."
fail=0
step() { echo; echo "=== $*"; }

step "layer rules"
scripts/check-layers.sh || fail=1

step "C++ tests"
build/plain/quotix_tests --gtest_brief=1 || fail=1

step "C++ tests, address and undefined-behaviour sanitizers"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  build/asan/quotix_tests --gtest_brief=1 || fail=1

step "C++ tests of the asynchronous client, thread sanitizer"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build/tsan/quotix_tests --gtest_brief=1 || fail=1

if ls build/fuzz/fuzz_* >/dev/null 2>&1; then
  step "fuzz smoke runs (${FUZZ_SECONDS:=10} s each)"
  work=$(mktemp -d)
  pids=()
  for f in build/fuzz/fuzz_*; do
    [ -x "$f" ] || continue
    name=$(basename "$f")
    mkdir -p "$work/$name"
    seeds=tests/fuzz/corpus/$name
    [ -d "$seeds" ] && cp -r "$seeds/." "$work/$name/"
    ( "$f" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$work/$name-" "$work/$name" >"$work/$name.log" 2>&1 \
      && echo "fuzz $name: ok" \
      || { echo "fuzz $name: FAILED"; tail -n 40 "$work/$name.log"; exit 1; } ) &
    pids+=($!)
    # Keep the machine's cores busy but not oversubscribed.
    if [ ${#pids[@]} -ge "$(nproc)" ]; then wait "${pids[0]}" || fail=1; pids=("${pids[@]:1}"); fi
  done
  for p in "${pids[@]}"; do wait "$p" || fail=1; done
  rm -rf "$work"
fi

if [ -f src/module.cpp ]; then
  step "Python tests"
  python3 -m pytest -q tests/python
  rc=$?
  # 5: no tests collected yet.
  if [ $rc -ne 0 ] && [ $rc -ne 5 ]; then fail=1; fi
fi

echo
if [ $fail -eq 0 ]; then echo "ALL TEST SUITES PASSED"; else echo "SOME TEST SUITES FAILED"; fi
exit $fail
