// The console upgrade of exactly one device through the bound library (QXDfuApi): find and
// open it, take it from its application into its bootloader, download the carried image with
// live progress (any key aborts) and send it back into its application.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "flashbridge.h"

namespace plendrik {

// The devices the tool is built for (set by tool/CMakeLists.txt).
constexpr uint16_t kToolVendorId = FB_FLASHTOOL_VID;
constexpr uint16_t kToolApplicationProductId = FB_FLASHTOOL_PID;
constexpr uint16_t kToolBootloaderProductId = FB_FLASHTOOL_BOOTLOADER_PID;

constexpr uint32_t kToolTargetId = 0;
constexpr uint32_t kToolRebootWaitMs = 20000;
constexpr uint32_t kToolDisconnectPollMs = 50;
constexpr uint32_t kToolDisconnectTimeoutMs = 5000;
constexpr uint32_t kToolProgressPollMs = 50;
// The process's exit code, whatever the outcome (QXSTATUS_MISSING_ARGUMENT).
constexpr uint32_t kToolExitCode = QXSTATUS_MISSING_ARGUMENT;

// Writes the two-line filter text (application and bootloader identities) into the buffer.
void BuildDeviceFilterDescription(char* buffer, size_t bufferSize);

// Texts of the run modes and upgrade states as the tool prints them.
const char* RunModeText(uint32_t runMode);
const char* UpgradeStateText(uint32_t state);

// Download progress in percent; 0 while the total is not known (0).
uint64_t ProgressPercent(uint64_t currentBytes, uint64_t totalBytes);
// The progress line, ending in "\r" so that the next one overwrites it.
std::string FormatProgressLine(uint32_t state, uint64_t currentBytes, uint64_t totalBytes);
// The success line with the elapsed time as seconds with three decimals.
std::string FormatFinishedLine(uint64_t elapsedMs);

// Enumerates with the filter (waiting up to waitMs for a device), requires exactly one device,
// opens it into deviceHandle (closing a handle given in first) and reads its run mode.
QXSTATUS EnumerateAndOpenDevice(uint32_t& deviceHandle, uint32_t& runMode, const char* filter, uint32_t waitMs);

// 0 once the device no longer answers; QXSTATUS_TIMEOUT when it still does after 5 s.
QXSTATUS WaitUntilDeviceIsGone(uint32_t deviceHandle);

// The whole upgrade of one device with the loaded image.
QXSTATUS RunFirmwareUpgrade(const char* filter, uint32_t imageHandle);

// The program: confirmation, binding, image, upgrade. Answers the process's exit code.
int RunFlashTool();

}  // namespace plendrik
