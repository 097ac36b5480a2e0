#include <cerrno>
#include <ctime>

#include "diag/QXLog.h"
#include "discovery/QXWinClockResolution.h"

namespace plendrik {

QXSTATUS GetCurrentClockResolution(uint32_t& resolutionMs) {
  timespec res{};
  if (clock_getres(CLOCK_MONOTONIC, &res) != 0) {
    const QXSTATUS err = 0xE0010000u | static_cast<uint32_t>(errno);
    QX_LOG_ERROR("clock_getres() failed, err={}", QXSt{err});
    return err;
  }
  const uint64_t ns = static_cast<uint64_t>(res.tv_sec) * 1000000000u + static_cast<uint64_t>(res.tv_nsec);
  resolutionMs = static_cast<uint32_t>((ns + 999999u) / 1000000u);
  return QXSTATUS_SUCCESS;
}

}  // namespace plendrik
