// The cost of a log call: suppressed by its logger's level, enabled while no target writes
// it (the file target not started, no event session listening), and enabled and written to a
// log file, against an empty loop.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "diag/QXLog.h"
#include "diag/QXLogTargetLogFile.h"
#include "os/QXOsString.h"

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

// A logger of its own with a file target of its own: the library's targets stay as they are.
plendrik::QXLogger gFileLogger("BenchFile", plendrik::kQXLogLevelAll);

// An enabled line formatted, prefixed and written to a buffered log file (rotated at the
// default size limit as in use).
void BM_LogToFile(benchmark::State& state) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("fb_bench_" + std::to_string(getpid()) + ".log");
  plendrik::QXLogTargetLogFile target;
  if (target.StartWithFileName(plendrik::QXWidenBytes(path.string()), false, false) != QXSTATUS_SUCCESS ||
      !gFileLogger.AttachTarget(&target)) {
    state.SkipWithError("cannot start the log file");
    return;
  }
  uint32_t i = 0;
  for (auto _ : state) {
    QX_LOG(gFileLogger, plendrik::kQXLogLevelDetail, "enabled line {} to the log file", ++i);
    benchmark::DoNotOptimize(i);
  }
  gFileLogger.DetachTarget(&target);
  target.StopTarget();
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  std::filesystem::remove(path.string() + ".bak", ignored);
}

BENCHMARK(BM_EmptyLoop);
BENCHMARK(BM_LogSuppressed);
BENCHMARK(BM_LogEnabledNoTarget);
BENCHMARK(BM_LogToFile);

}  // namespace
