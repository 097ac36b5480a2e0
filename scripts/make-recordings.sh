#!/bin/bash
# Records the seed sessions of the regression folder tests/recordings afresh: each simulated
# device variant is upgraded live with recording on, and the recording is written there with
# the outcome it gave (<name>.expected) and the image it downloaded. Review the diff before
# committing: a changed outcome means the engine now ends that session differently.
# Usage: scripts/make-recordings.sh   (builds the host test program first)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
"$ROOT/scripts/build.sh" host --target fb_unit_tests fb_libusb_tests
export FB_RECORDINGS_OUT="$ROOT/tests/recordings"
mkdir -p "$FB_RECORDINGS_OUT"
"$ROOT/build/host/bin/fb_unit_tests" --gtest_filter='Variants/SeedRecording.*'
# The libusb seed is made through libusb under umockdev.
if [ -x "$ROOT/build/host/bin/fb_libusb_tests" ]; then
  "$ROOT/build/host/bin/fb_libusb_tests" --gtest_color=no --gtest_filter='*WritesTheRegressionRecording*'
fi
git -C "$ROOT" status --short -- tests/recordings
