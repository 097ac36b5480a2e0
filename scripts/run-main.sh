#!/bin/bash
# The main job: sets up a fresh machine with only what this job needs (the host compiler and
# CMake), builds the plain host library and flashtool, and lets flashtool upgrade a simulated
# device, answering its confirmation itself. scripts/test.sh installs and builds the rest.
#
# The run folder build/flashtool-run holds what flashtool needs in its current directory: the
# plain library, its configuration (examples/flashtool.config.ini) and the simulated device
# (examples/flashtool-device.ini), both copied afresh on every run. Afterwards the job says
# whether the firmware the device received is byte for byte the image flashtool carries.
# Exit code 0 when it is, 1 when it is not.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
"$ROOT/scripts/setup.sh" --main
# The plain library a user loads from C or Python, and the flashtool that runs here.
"$ROOT/scripts/build.sh" release --target flashbridge flashtool

BIN="$ROOT/build/host-release/bin"
IMAGE="$ROOT/build/host-release/generated/flashtool_image.bin"
RUN="$ROOT/build/flashtool-run"
RECEIVED="$RUN/received-firmware.bin"
mkdir -p "$RUN"
cp "$BIN/flashbridge.so" "$BIN/flashtool" "$RUN/"
cp "$ROOT/examples/flashtool.config.ini" "$RUN/flashbridge.so.config.ini"
cp "$ROOT/examples/flashtool-device.ini" "$RUN/flashtool-device.ini"
rm -f "$RECEIVED"

echo "Running flashtool in $RUN against the simulated device of examples/flashtool-device.ini"
echo "(the confirmation is answered with y)"
echo
cd "$RUN"
# flashtool's exit code is always the same; its messages and the device's firmware tell.
printf y | ./flashtool || true
echo

image_size=$(stat -c %s "$IMAGE")
if [ ! -f "$RECEIVED" ]; then
  echo "The simulated device did not receive any firmware (no $RECEIVED)."
  exit 1
elif cmp -s "$IMAGE" "$RECEIVED"; then
  echo "The firmware the simulated device received is byte for byte the carried image ($image_size bytes)."
else
  echo "The firmware the simulated device received ($(stat -c %s "$RECEIVED") bytes) differs from the" \
       "carried image ($image_size bytes)."
  exit 1
fi
echo
echo "Run it again interactively:  cd build/flashtool-run && ./flashtool"
