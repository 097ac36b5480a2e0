#!/bin/bash
# Builds the benchmarks on the host (Release, no sanitizers, build/bench), runs them, writes
# the raw results to build/bench/bench.json and prints each figure next to its floor.
# Usage: scripts/bench.sh [extra Google Benchmark arguments, e.g. --benchmark_filter=Crc]
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
OUT="$ROOT/build/bench"
JOBS="${FB_JOBS:-$(nproc)}"
GEN=()
if command -v ninja >/dev/null; then GEN=(-G Ninja); fi
if command -v ccache >/dev/null; then
  GEN+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$ROOT" -B "$OUT" "${GEN[@]}" -DCMAKE_BUILD_TYPE=Release -DFB_SANITIZE=OFF -DFB_TSAN=OFF \
  -DFB_BUILD_TESTS=OFF -DFB_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$OUT" -j "$JOBS" --target fb_benchmarks
"$OUT/bin/fb_benchmarks" --benchmark_out="$OUT/bench.json" --benchmark_out_format=json \
  --benchmark_format=console "$@" >"$OUT/bench.txt"
python3 "$ROOT/bench/summary.py" "$OUT/bench.json"
echo "raw results: $OUT/bench.json"
