// The cost of a log call: suppressed by its logger's level, and enabled while no target
// writes it (the file target not started, no event session listening), against an empty loop.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "diag/QXLog.h"

namespace {

// A logger that passes errors only: a detail line is suppressed by the level test.
plendrik::QXLogger gQuietLogger("BenchQuiet", plendrik::kQXLogLevelError);

void BM_EmptyLoop(benchmark::State& state) {
  uint32_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(++i);
  }
}

void BM_LogSuppressed(benchmark::State& state) {
  uint32_t i = 0;
  for (auto _ : state) {
    QX_LOG(gQuietLogger, plendrik::kQXLogLevelDetail, "suppressed line {}", ++i);
    benchmark::DoNotOptimize(i);
  }
}

// gLogGlobal passes every level when no configuration says otherwise; its targets are the log
// file (not started here) and the event provider (not registered or without listener).
void BM_LogEnabledNoTarget(benchmark::State& state) {
  const int32_t previous = plendrik::gLogGlobal.GetLevel();
  plendrik::gLogGlobal.SetLevel(plendrik::kQXLogLevelAll);
  uint32_t i = 0;
  for (auto _ : state) {
    QX_LOG_DETAIL("enabled line {} without a target", ++i);
    benchmark::DoNotOptimize(i);
  }
  plendrik::gLogGlobal.SetLevel(previous);
}

BENCHMARK(BM_EmptyLoop);
BENCHMARK(BM_LogSuppressed);
BENCHMARK(BM_LogEnabledNoTarget);

}  // namespace
