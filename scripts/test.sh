#!/bin/bash
# Sets up a fresh machine, builds both targets and runs both test suites: the host suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, the windows suite under Wine, and the
# threaded tests (suites named ...Threads) once more under ThreadSanitizer.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh" host
"$ROOT/scripts/build.sh" windows
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
status=0
echo "== host tests"
ctest --test-dir "$ROOT/build/host" --output-on-failure || status=1
echo "== windows tests (Wine)"
ctest --test-dir "$ROOT/build/windows" --output-on-failure || status=1
# The plain library a user loads, with the example program and a Python ctypes load.
"$ROOT/scripts/build.sh" release
echo "== release library (example program)"
ctest --test-dir "$ROOT/build/host-release" --output-on-failure || status=1
echo "== threaded tests (ThreadSanitizer)"
GEN=()
if command -v ninja >/dev/null; then GEN=(-G Ninja); fi
cmake -S "$ROOT" -B "$ROOT/build/host-tsan" "${GEN[@]}" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-fsanitize=thread \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build "$ROOT/build/host-tsan" -j "${FB_JOBS:-$(nproc)}" --target fb_unit_tests
(cd "$ROOT/build/host-tsan/bin" && TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1}" \
  ./fb_unit_tests --gtest_filter='*Threads*' --gtest_color=no) || status=1
exit $status
