// Brings a device in bootloader mode to dfuIDLE before a download: an unfinished transfer is
// aborted, an error is cleared, and any state the host cannot leave that way is refused.
#include "device/DfuDevice.h"
#include "device/DfuSessionProtocol.h"
#include "diag/QXLog.h"

namespace plendrik {

QXSTATUS DfuDevice::EnsureDfuIDLE() {
  uint8_t state = 0;
  QXSTATUS st = mDevicePort->DfuGetState(state);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("DfuGetState(1) failed, st={}", QXSt{st});
    return st;
  }
  switch (state) {
    case kDfuStateDfuIdle:
      return QXSTATUS_SUCCESS;
    case kDfuStateDnloadSync:
    case kDfuStateDnloadIdle:
    case kDfuStateManifestSync:
    case kDfuStateUploadIdle:
      QX_LOG(gLogDfu, kQXLogLevelWarn, "state is {}, trying to abort", DfuStateText(state));
      st = mDevicePort->DfuAbort();
      if (st != QXSTATUS_SUCCESS) {
        // In dfuDNLOAD_SYNC and dfuMANIFEST_SYNC a DFU 1.1 device takes only status requests:
        // it stalls the abort and enters dfuERROR, which a DFU_CLRSTATUS leaves for dfuIDLE.
        // A download that ended with an unanswered status request leaves it there.
        uint8_t after = 0;
        if ((state == kDfuStateDnloadSync || state == kDfuStateManifestSync) &&
            mDevicePort->DfuGetState(after) == QXSTATUS_SUCCESS && after == kDfuStateError) {
          QX_LOG(gLogDfu, kQXLogLevelWarn, "DfuAbort refused, st={}, state is dfuERROR, trying to clear", QXSt{st});
          st = mDevicePort->DfuClrStatus();
          if (st != QXSTATUS_SUCCESS) {
            QX_LOG_ERROR("DfuClrStatus failed, st={}", QXSt{st});
            return st;
          }
          break;
        }
        QX_LOG_ERROR("DfuAbort failed, st={}", QXSt{st});
        return st;
      }
      break;
    case kDfuStateError:
      QX_LOG(gLogDfu, kQXLogLevelWarn, "state is dfuERROR, trying to clear");
      st = mDevicePort->DfuClrStatus();
      if (st != QXSTATUS_SUCCESS) {
        QX_LOG_ERROR("DfuClrStatus failed, st={}", QXSt{st});
        return st;
      }
      break;
    default:
      QX_LOG_ERROR("unexpected device state {:#X} ({})", state, DfuStateText(state));
      return QXSTATUS_INVALID_DEVICE_STATE;
  }
  st = mDevicePort->DfuGetState(state);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("DfuGetState(2) failed, st={}", QXSt{st});
    return st;
  }
  if (state != kDfuStateDfuIdle) {
    QX_LOG_ERROR("invalid device state {:#X} ({})", state, DfuStateText(state));
    return QXSTATUS_INVALID_DEVICE_STATE;
  }
  return QXSTATUS_SUCCESS;
}

}  // namespace plendrik
