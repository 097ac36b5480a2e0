#include <windows.h>

#include "diag/QXLog.h"
#include "discovery/QXWinClockResolution.h"

namespace plendrik {

QXSTATUS GetCurrentClockResolution(uint32_t& resolutionMs) {
  DWORD adjustment = 0;
  DWORD increment = 0;  // 100-ns units
  BOOL disabled = FALSE;
  if (!GetSystemTimeAdjustment(&adjustment, &increment, &disabled)) {
    const QXSTATUS err = GetLastError();
    QX_LOG_ERROR("GetSystemTimeAdjustment() failed, err={}", QXSt{err});
    return err != 0 ? err : QXSTATUS_FAILED;
  }
  resolutionMs = (increment + 9999) / 10000;
  return QXSTATUS_SUCCESS;
}

}  // namespace plendrik
