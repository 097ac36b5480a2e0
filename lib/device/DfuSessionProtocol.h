// The values the device session logs and reads: run modes, device type and upgrade states
// with their texts, DFU 1.1 states and status codes with theirs, and the decoded DFU_GETSTATUS
// record.
#pragma once

#include <cstdint>

#include "device/DfuDevicePortInterface.h"

namespace plendrik {

enum DfuSessionState : uint8_t {
  kDfuAppIdle = 0,
  kDfuAppDetach = 1,
  kDfuIdle = 2,
  kDfuDnloadSync = 3,
  kDfuDnbusy = 4,
  kDfuDnloadIdle = 5,
  kDfuManifestSync = 6,
  kDfuManifest = 7,
  kDfuManifestWaitReset = 8,
  kDfuUploadIdle = 9,
  kDfuError = 10,
};

// "Application", "Bootloader"; "unknown" for 0 and any other value.
const char* DfuRunModeText(uint32_t runMode);
// "USB DFU"; "unknown" for any other value.
const char* DfuDeviceTypeText(uint32_t deviceType);
// "Idle" ... "Failed"; "unknown" for any other value.
const char* DfuUpgradeStateText(uint32_t upgradeState);

// "appIDLE" ... "dfuERROR"; "unknown" for any other value.
const char* DfuSessionStateText(uint32_t state);
// "dfu_OK" ... "errSTALLEDPKT"; "unknown" for any other value.
const char* DfuSessionStatusText(uint32_t status);

// The 6-byte record as the device sends it: bStatus, 24-bit bwPollTimeout, bState, iString.
struct DfuStatusRecord {
  uint8_t bStatus;
  uint32_t bwPollTimeout;
  uint8_t bState;
};

inline DfuStatusRecord DecodeDfuStatusRecord(const uint8_t (&record)[kQXDfuStatusRecordSize]) {
  return {record[0],
          static_cast<uint32_t>(record[1]) | (static_cast<uint32_t>(record[2]) << 8) |
              (static_cast<uint32_t>(record[3]) << 16),
          record[4]};
}

}  // namespace plendrik
