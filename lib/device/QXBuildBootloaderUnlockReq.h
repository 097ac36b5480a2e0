// The bootloader unlock computation: from the device's 80-byte token (size 80, key generation 0,
// 14 bytes the host does not read, a 64-byte challenge) the 32-byte request HMAC-SHA256(key,
// challenge) under the generation-0 key.
#pragma once

#include <cstdint>

#include "device/DfuDevicePortInterface.h"
#include "os/QXOsTypes.h"

namespace plendrik {

constexpr uint32_t kQXUnlockChallengeOffset = 16;
constexpr uint32_t kQXUnlockChallengeSize = 64;

QXSTATUS QXBuildBootloaderUnlockReq(uint8_t (&unlockRequest)[kQXUnlockRequestSize],
                                    const uint8_t (&token)[kQXUnlockTokenSize]);

}  // namespace plendrik
