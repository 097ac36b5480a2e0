#!/bin/bash
# Sets up a fresh machine, builds the host target and runs the main job. Until the console
# tool exists this builds the library and shows what it answers through its exported API.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh" host
# The plain library a user loads from C or Python: build/host-release/bin/flashbridge.so.
"$ROOT/scripts/build.sh" release
if [ -x "$ROOT/build/host/bin/flashtool" ]; then
  exec "$ROOT/build/host/bin/flashtool" "$@"
fi
echo "flashtool is not built yet; the library answers:"
"$ROOT/build/host/bin/fb_api_tests" --gtest_brief=1
