#!/bin/bash
# Runs the threaded unit tests (suites named ...Threads) of the ThreadSanitizer build.
# Build it first: scripts/build.sh host-tsan
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT/build/host-tsan/bin"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
# Each test's time limit (see tests/support/TestWatchdog.cpp) grows with the sanitizer's slowness.
export FB_TEST_TIME_SCALE="${FB_TEST_TIME_SCALE:-5}"
exec ./fb_unit_tests --gtest_color=no --gtest_filter='*Threads.*' "$@"
