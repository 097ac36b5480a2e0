#!/bin/bash
# Sets up a fresh machine, builds both targets and runs both test suites: the host suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, the windows suite under Wine. The threaded
# host tests (suites whose name ends in "Threads") also run under ThreadSanitizer, and the plain
# release library is loaded by the example program and from Python, where the Python package's
# tests (pytest) drive it against simulated devices. The fuzz harnesses replay their committed
# corpus (every input that once found a fault) and fuzz briefly.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh" host
"$ROOT/scripts/build.sh" windows
"$ROOT/scripts/build.sh" host-tsan
"$ROOT/scripts/build.sh" release
"$ROOT/scripts/build.sh" fuzz
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
status=0
echo "== host tests"
ctest --test-dir "$ROOT/build/host" --output-on-failure || status=1
echo "== threaded host tests (ThreadSanitizer)"
TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}" \
  "$ROOT/scripts/run-tsan-tests.sh" || status=1
echo "== windows tests (Wine)"
ctest --test-dir "$ROOT/build/windows" --output-on-failure || status=1
echo "== release library (example program)"
# The release build compiles the tests too (an optimised build of every target must stay
# buildable), but they already ran above under the sanitizers: only the examples run here.
ctest --test-dir "$ROOT/build/host-release" --output-on-failure -R '^example_' || status=1
echo "== Python package (pytest, release library)"
# The Debian interpreter carries python3-pytest and python3-rich; another python3 first in PATH
# may lack them.
PY=python3
if ! "$PY" -c "import pytest" 2>/dev/null && [ -x /usr/bin/python3 ]; then PY=/usr/bin/python3; fi
FLASHBRIDGE_LIBRARY="$ROOT/build/host-release/bin/flashbridge.so" \
  "$PY" -m pytest -q -p no:cacheprovider "$ROOT/python/tests" || status=1
echo "== fuzz harnesses (committed corpus and a short run)"
"$ROOT/scripts/fuzz.sh" --replay || status=1
exit $status
