#!/bin/bash
# Runs the libFuzzer harnesses (tests/fuzz) one after another.
#
#   scripts/fuzz.sh [SECONDS] [HARNESS...]   fuzzes each harness for SECONDS (default 60) and
#                                            prints executions/s, executions and coverage
#   scripts/fuzz.sh --replay [HARNESS...]    runs each harness over its committed corpus (seeds
#                                            and every input that once found a fault) plus a
#                                            short fixed run; for the test run
#
# New inputs go to a scratch folder outside the tree (FB_FUZZ_SCRATCH, default
# /tmp/flashbridge-fuzz/<harness>/corpus); inputs that fail go to .../<harness>/artifacts.
# The committed corpus is only read: copy a finding there by hand, as crash-<what> or hang-<what>.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BIN="$ROOT/build/fuzz/bin"
CORPUS="$ROOT/tests/fuzz/corpus"
SCRATCH="${FB_FUZZ_SCRATCH:-/tmp/flashbridge-fuzz}"
ALL=(fuzz_image fuzz_filter fuzz_ini fuzz_descriptors fuzz_device fuzz_recording)

MODE=fuzz
SECONDS_EACH=60
if [ "${1:-}" = "--replay" ]; then
  MODE=replay
  shift
elif [[ "${1:-}" =~ ^[0-9]+$ ]]; then
  SECONDS_EACH="$1"
  shift
fi
HARNESSES=("$@")
[ ${#HARNESSES[@]} -eq 0 ] && HARNESSES=("${ALL[@]}")

for h in "${HARNESSES[@]}"; do
  [ -x "$BIN/$h" ] || { echo "missing $BIN/$h: run scripts/build.sh fuzz" >&2; exit 2; }
done

# A hang is an input that runs longer than 60 s; libFuzzer also reports inputs that leak.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
COMMON=(-timeout=60 -rss_limit_mb=4096 -print_final_stats=1)

status=0
printf '%-18s %10s %12s %8s %8s %8s %s\n' harness exec/s executions cov ft seconds result
for h in "${HARNESSES[@]}"; do
  work="$SCRATCH/$h"
  mkdir -p "$work/corpus" "$work/artifacts"
  log="$work/last-run.log"
  if [ "$MODE" = replay ]; then
    # Every committed input once, then a short run from them; new inputs go to a fresh folder.
    rm -rf "$work/replay"
    mkdir -p "$work/replay"
    args=(-runs=2000 "$work/replay" "$CORPUS/$h")
  else
    args=(-max_total_time="$SECONDS_EACH" "$work/corpus" "$CORPUS/$h")
  fi
  start=$(date +%s)
  result=ok
  "$BIN/$h" "${COMMON[@]}" -artifact_prefix="$work/artifacts/" "${args[@]}" >"$log" 2>&1 || { result=FAILED; status=1; }
  took=$(( $(date +%s) - start ))
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2 || true)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2 || true)
  printf '%-18s %10s %12s %8s %8s %8s %s\n' "$h" "${rate:--}" "${execs:--}" "${cov:--}" "${ft:--}" "$took" "$result"
  if [ "$result" != ok ]; then
    echo "---- $log (last 40 lines)"
    tail -40 "$log"
  fi
done
exit $status
