// What every harness shares: logging turned off (refused inputs would be logged on every run
// and dominate the time), and a check that stays on in every build type.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "diag/QXLog.h"

namespace plendrik::fuzz {

inline void SilenceLogs() {
  gLogGlobal.SetLevel(0);
  gLogDfuApi.SetLevel(0);
  gLogDfu.SetLevel(0);
}

// An invariant of the harness; a violation ends the run so that libFuzzer keeps the input.
#define FB_FUZZ_CHECK(condition)                                                                  \
  do {                                                                                            \
    if (!(condition)) {                                                                           \
      std::fprintf(stderr, "%s:%d: invariant violated: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                               \
    }                                                                                             \
  } while (0)

}  // namespace plendrik::fuzz
