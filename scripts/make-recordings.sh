#!/bin/bash
# Records the seed sessions of the regression folder tests/recordings afresh: each simulated
# device variant is upgraded live with recording on, and the recording is written there with
# the outcome it gave (<name>.expected) and the image it downloaded. A seed whose live run does
# not end as its case says writes nothing and fails. Review the diff before committing: a
# changed outcome means the engine now ends that session differently.
# Usage: scripts/make-recordings.sh   (builds the host test programs first)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
# The seed cases of tests/device/RecordingRegressionTest.cpp (kSeeds).
SIM_SEEDS=6

# Runs a test program and checks that exactly `count` tests ran and passed: a filter that
# matches nothing, or a case that skipped, exits 0 but writes nothing.
run_seeds() {
  local count="$1" log
  shift
  log="$(mktemp)"
  local rc=0
  "$@" --gtest_color=no 2>&1 | tee "$log" || rc=$?
  if [ "$rc" -ne 0 ]; then
    rm -f "$log"
    echo "make-recordings: $(basename "$1") failed (exit $rc)" >&2
    exit 1
  fi
  if ! grep -Eq "^\[  PASSED  \] $count tests?\.$" "$log" || grep -q '^\[  SKIPPED \]' "$log"; then
    rm -f "$log"
    echo "make-recordings: $(basename "$1") did not run and pass $count seed test(s)" >&2
    exit 1
  fi
  rm -f "$log"
}

"$ROOT/scripts/build.sh" host --target fb_unit_tests
# fb_libusb_tests exists only where umockdev was found (tests/libusb/CMakeLists.txt).
LIBUSB=0
if cmake --build "$ROOT/build/host" --target help | grep -q '^fb_libusb_tests:'; then
  "$ROOT/scripts/build.sh" host --target fb_libusb_tests
  LIBUSB=1
fi

export FB_RECORDINGS_OUT="$ROOT/tests/recordings"
mkdir -p "$FB_RECORDINGS_OUT"
run_seeds "$SIM_SEEDS" "$ROOT/build/host/bin/fb_unit_tests" --gtest_filter='Variants/SeedRecording.*'
# The libusb seed is made through libusb under umockdev.
if [ "$LIBUSB" = 1 ]; then
  run_seeds 1 "$ROOT/build/host/bin/fb_libusb_tests" --gtest_filter='*WritesTheRegressionRecording*'
else
  echo "make-recordings: umockdev not found, libusb-umockdev.jsonl is left as it is" >&2
fi
git -C "$ROOT" status --short -- tests/recordings
