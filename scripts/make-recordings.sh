#!/bin/bash
# Writes the regression folder's recordings (tests/recordings): runs the tests that record a
# session when FB_RECORDINGS_OUT names a folder. Each writes <name>.jsonl and <name>.expected.
# Build them first: scripts/build.sh host (the libusb ones need umockdev).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
export FB_RECORDINGS_OUT="${FB_RECORDINGS_OUT:-$ROOT/tests/recordings}"
mkdir -p "$FB_RECORDINGS_OUT"
cd "$ROOT/build/host/bin"
./fb_libusb_tests --gtest_color=no --gtest_filter='*WritesTheRegressionRecording*' "$@"
