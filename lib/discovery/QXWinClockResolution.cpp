#include "discovery/QXWinClockResolution.h"

#include "diag/QXLog.h"

namespace plendrik {

uint32_t RoundUpMillisecsToResolution(uint32_t ms, uint32_t resolutionMs) {
  if (resolutionMs == 0) {
    return ms;
  }
  const uint64_t rounded = (static_cast<uint64_t>(ms) + resolutionMs - 1) / resolutionMs * resolutionMs;
  return rounded > UINT32_MAX ? ms : static_cast<uint32_t>(rounded);
}

uint32_t RoundUpMillisecsToClockResolution(uint32_t ms) {
  uint32_t resolutionMs = 0;
  const QXSTATUS st = GetCurrentClockResolution(resolutionMs);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("GetCurrentClockResolution() failed, err={}", QXSt{st});
    return ms;
  }
  return RoundUpMillisecsToResolution(ms, resolutionMs);
}

}  // namespace plendrik
