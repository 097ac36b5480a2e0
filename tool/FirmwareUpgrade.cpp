#include "FirmwareUpgrade.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <thread>

#include "QXConsoleKeys.h"
#include "QXDfuApi.h"
#include "QXFirmwareResource.h"
#include "QXToolText.h"

namespace plendrik {

namespace {

using Clock = std::chrono::steady_clock;

uint64_t ElapsedMs(Clock::time_point start) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

QXDfuApi& Api() { return QXDfuApi::Instance(); }

}  // namespace

void BuildDeviceFilterDescription(char* buffer, size_t bufferSize) {
  snprintf(buffer, bufferSize, "VID=0x%04X, PID=0x%04X\nVID=0x%04X, PID=0x%04X\n", kToolVendorId,
           kToolApplicationProductId, kToolVendorId, kToolBootloaderProductId);
}

const char* RunModeText(uint32_t runMode) {
  switch (runMode) {
    case QXDFU_RUN_MODE_APPLICATION:
      return "APP (application)";
    case QXDFU_RUN_MODE_BOOTLOADER:
      return "DFU (bootloader)";
    default:
      return "unknown";
  }
}

const char* UpgradeStateText(uint32_t state) {
  switch (state) {
    case QXDFU_UPGRADE_STATE_IDLE:
      return "Idle";
    case QXDFU_UPGRADE_STATE_INITIALIZING:
      return "Initializing";
    case QXDFU_UPGRADE_STATE_IN_PROGRESS:
      return "InProgress";
    case QXDFU_UPGRADE_STATE_FINISHED:
      return "Finished";
    case QXDFU_UPGRADE_STATE_FAILED:
      return "Failed";
    default:
      return "unknown";
  }
}

uint64_t ProgressPercent(uint64_t currentBytes, uint64_t totalBytes) {
  if (totalBytes == 0) {
    return 0;
  }
  return currentBytes * 100 / totalBytes;
}

std::string FormatProgressLine(uint32_t state, uint64_t currentBytes, uint64_t totalBytes) {
  char line[160];
  snprintf(line, sizeof(line), "State = %s : %llu bytes of %llu bytes downloaded (%llu %%)        \r",
           UpgradeStateText(state), static_cast<unsigned long long>(currentBytes),
           static_cast<unsigned long long>(totalBytes),
           static_cast<unsigned long long>(ProgressPercent(currentBytes, totalBytes)));
  return line;
}

std::string FormatFinishedLine(uint64_t elapsedMs) {
  char line[96];
  snprintf(line, sizeof(line), "Upgrade successfully finished (took %u.%03u seconds).\n",
           static_cast<unsigned>(elapsedMs / 1000), static_cast<unsigned>(elapsedMs % 1000));
  return line;
}

QXSTATUS EnumerateAndOpenDevice(uint32_t& deviceHandle, uint32_t& runMode, const char* filter, uint32_t waitMs) {
  QXDfuApi& api = Api();
  QXToolPrintf("Enumerate available devices...\n");
  uint32_t enumerationHandle = 0;
  uint32_t deviceCount = 0;
  const uint32_t retryCount = (waitMs + 99) / 100;
  const uint32_t retryDelay = waitMs != 0 ? 100 : 0;
  QXSTATUS st =
      QXDfuCall(api.QXDFU_EnumerateUsbDfuDevices, filter, &enumerationHandle, &deviceCount, retryCount, retryDelay, 0u);
  if (st != QXSTATUS_SUCCESS) {
    QXToolPrintf("EnumerateUsbDfuDevices failed, st=0x%08x (%s)\n", st, QXDfuErrorText(st));
  } else if (deviceCount == 0) {
    QXToolPrintf("No device found.\n");
    st = QXSTATUS_NO_DEVICES;
  } else {
    QXToolPrintf("Found %u device(s).\n", deviceCount);
    if (deviceCount >= 2) {
      QXToolPrintf("Firmware upgrade with multiple device instances in parallel is not supported.\n");
      QXToolPrintf("Please make sure that only one device is connected.\n");
      st = QXSTATUS_NOT_ALLOWED;
    } else {
      QXToolPrintf("Open device...\n");
      if (deviceHandle != 0) {
        QXDfuRelease(api.QXDFU_CloseDevice, deviceHandle);
      }
      const uint32_t deviceIndex = 0;
      st = QXDfuCall(api.QXDFU_OpenDevice, enumerationHandle, deviceIndex, &deviceHandle, 0u);
      if (st != QXSTATUS_SUCCESS) {
        QXToolPrintf("OpenDevice(%u) failed, st=0x%08x (%s)\n", deviceIndex, st, QXDfuErrorText(st));
      } else {
        st = QXDfuCall(api.QXDFU_GetDevicePropertyUint, deviceHandle, QXDFU_DEVICE_PROPERTY_CURRENT_RUN_MODE, &runMode);
        if (st != QXSTATUS_SUCCESS) {
          QXToolPrintf("GetDevicePropertyUint(CurrentRunMode) failed, st=0x%08x (%s)\n", st, QXDfuErrorText(st));
        } else {
          QXToolPrintf("Device is operating in run mode %s.\n", RunModeText(runMode));
        }
      }
    }
  }
  if (enumerationHandle != 0) {
    QXDfuRelease(api.QXDFU_CloseEnumeration, enumerationHandle);
  }
  return st;
}

QXSTATUS WaitUntilDeviceIsGone(uint32_t deviceHandle) {
  const auto checkConnection = Api().QXDFU_CheckDeviceConnection;
  if (checkConnection == nullptr) {
    return QXSTATUS_SUCCESS;
  }
  const Clock::time_point start = Clock::now();
  for (;;) {
    if (checkConnection(deviceHandle) != QXSTATUS_SUCCESS) {
      return QXSTATUS_SUCCESS;
    }
    if (ElapsedMs(start) > kToolDisconnectTimeoutMs) {
      return QXSTATUS_TIMEOUT;
    }
    SleepMs(kToolDisconnectPollMs);
  }
}

namespace {

// The progress line, which ends in a carriage return while the download runs: the console is
// told, so that Ctrl+C gives it its line end before the program ends.
class ProgressLine {
 public:
  explicit ProgressLine(QXConsoleKeys& keys) : mKeys(keys) {}
  ~ProgressLine() { mKeys.SetLineOpen(false); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void Open() { mKeys.SetLineOpen(true); }
  // Writes the line end ("\n").
  void End() {
    mKeys.SetLineOpen(false);
    QXToolPrintf("\n");
  }

 private:
  QXConsoleKeys& mKeys;
};

// The download with its progress loop; the answer is the loop's result.
QXSTATUS PollUpgradeProgress(uint32_t deviceHandle) {
  QXDfuApi& api = Api();
  QXConsoleKeys& keys = QXGetConsoleKeys();
  QXConsoleKeys::Scope keyInput(keys);
  // Only a key pressed from now on aborts: not the Enter typed after "y", nor keys pressed
  // while the device switched into its bootloader.
  keys.DiscardTypeAhead();
  ProgressLine line(keys);
  const Clock::time_point start = Clock::now();
  for (;;) {
    if (keys.IsKeyWaiting()) {
      keys.ReadKey();
      line.End();
      return QXSTATUS_ABORTED;
    }
    uint32_t state = 0;
    uint64_t currentBytes = 0;
    uint64_t totalBytes = 0;
    QXSTATUS completionStatus = 0;
    const QXSTATUS st =
        QXDfuCall(api.QXDFU_GetUpgradeStatus, deviceHandle, &state, &currentBytes, &totalBytes, &completionStatus);
    if (st != QXSTATUS_SUCCESS) {
      QXToolPrintf("GetUpgradeStatus failed, st=0x%08x (%s)\n", st, QXDfuErrorText(st));
      return st;
    }
    // Marked open before it is written: an interrupt that ends the program in between still
    // ends the line.
    line.Open();
    QXToolPrintf("%s", FormatProgressLine(state, currentBytes, totalBytes).c_str());
    if (state == QXDFU_UPGRADE_STATE_FINISHED) {
      line.End();
      QXToolPrintf("%s", FormatFinishedLine(ElapsedMs(start)).c_str());
      return QXSTATUS_SUCCESS;
    }
    if (state == QXDFU_UPGRADE_STATE_FAILED) {
      line.End();
      QXToolPrintf("Upgrade failed, completionStatus=0x%08x (%s).\n", completionStatus,
                   QXDfuErrorText(completionStatus));
      return completionStatus;
    }
    SleepMs(kToolProgressPollMs);
  }
}

QXSTATUS UpgradeDevice(const char* filter, uint32_t imageHandle, uint32_t& deviceHandle) {
  QXDfuApi& api = Api();
  uint32_t runMode = QXDFU_RUN_MODE_UNKNOWN;
  QXSTATUS st = EnumerateAndOpenDevice(deviceHandle, runMode, filter, 0);
  if (st != QXSTATUS_SUCCESS) {
    QXToolPrintf("EnumerateAndOpenDevice() failed, st=0x%08x (%s)\n", st, QXDfuErrorText(st));
    return st;
  }

  if (runMode == QXDFU_RUN_MODE_APPLICATION) {
    QXToolPrintf("Rebooting device to switch to DFU mode...\n");
    st = QXDfuCall(api.QXDFU_RebootDevice, deviceHandle, QXDFU_RUN_MODE_BOOTLOADER, 0u);
    if (st != QXSTATUS_SUCCESS) {
      QXToolPrintf("RebootDevice(BOOTLOADER) failed, st=0x%08x (%s)\n", st, QXDfuErrorText(st));
      return st;
    }
    QXToolPrintf("Waiting until device is gone...\n");
    if (WaitUntilDeviceIsGone(deviceHandle) == QXSTATUS_TIMEOUT) {
      QXToolPrintf("Device did not disconnect after reboot request. Upgrade failed.\n");
      return QXSTATUS_TIMEOUT;
    }
  } else if (runMode != QXDFU_RUN_MODE_BOOTLOADER) {
    QXToolPrintf("Unexpected run mode %u. Upgrade failed.\n", runMode);
    return QXSTATUS_FAILED;
  }

  // The download always runs on a fresh session, opened once the device is (again) listed in
  // its bootloader.
  QXDfuRelease(api.QXDFU_CloseDevice, deviceHandle);
  runMode = QXDFU_RUN_MODE_UNKNOWN;
  st = EnumerateAndOpenDevice(deviceHandle, runMode, filter, kToolRebootWaitMs);
  if (st != QXSTATUS_SUCCESS) {
    QXToolPrintf("EnumerateAndOpenDevice(after reboot) failed, st=0x%08x (%s)\n", st, QXDfuErrorText(st));
    QXToolPrintf(
        "If Windows is currently installing drivers, try to run the upgrade again after driver installation has "
        "finished.\n");
    return st;
  }
  if (runMode != QXDFU_RUN_MODE_BOOTLOADER) {
    QXToolPrintf("Unexpected run mode %u after reboot. Upgrade failed.\n", runMode);
    return QXSTATUS_FAILED;
  }

  st = QXDfuCall(api.QXDFU_StartUpgrade, deviceHandle, imageHandle, kToolTargetId, 0u);
  if (st != QXSTATUS_SUCCESS) {
    QXToolPrintf("StartUpgrade(%u) failed, st=0x%08x (%s)\n", kToolTargetId, st, QXDfuErrorText(st));
    return st;
  }

  QXToolPrintf("Downloading to target %u, press any key to abort...\n", kToolTargetId);
  const QXSTATUS result = PollUpgradeProgress(deviceHandle);

  st = QXDfuCall(api.QXDFU_FinishUpgrade, deviceHandle, 0u);
  if (st == QXSTATUS_ABORTED) {
    QXToolPrintf("Upgrade was aborted.\n");
  } else if (st != QXSTATUS_SUCCESS && st != result) {
    // A failed upgrade is finished with its own status, which was printed already.
    QXToolPrintf("FinishUpgrade failed, st=0x%08x (%s)\n", st, QXDfuErrorText(st));
    return st;
  }
  if (result != QXSTATUS_SUCCESS) {
    return result;
  }

  QXToolPrintf("Rebooting device to revert back to APP mode...\n");
  st = QXDfuCall(api.QXDFU_RebootDevice, deviceHandle, QXDFU_RUN_MODE_APPLICATION, 0u);
  if (st != QXSTATUS_SUCCESS) {
    QXToolPrintf("RebootDevice(APPLICATION) failed, st=0x%08x (%s)\n", st, QXDfuErrorText(st));
    return st;
  }
  QXToolPrintf("Firmware upgrade finished. The device should start in application run mode now.\n");
  QXToolPrintf("Waiting until device is gone...\n");
  st = WaitUntilDeviceIsGone(deviceHandle);
  if (st == QXSTATUS_TIMEOUT) {
    QXToolPrintf("Device did not disconnect after reboot request.\n");
  }
  return st;
}

}  // namespace

QXSTATUS RunFirmwareUpgrade(const char* filter, uint32_t imageHandle) {
  uint32_t deviceHandle = 0;
  const QXSTATUS st = UpgradeDevice(filter, imageHandle, deviceHandle);
  if (deviceHandle != 0) {
    QXDfuRelease(Api().QXDFU_CloseDevice, deviceHandle);
  }
  return st;
}

int RunFlashTool() {
  QXToolPrintf("Veltrane Mix 20\n");
  QXToolPrintf("This program will update your FW to version 2.39\n");
  QXToolPrintf("Press (y) to continue !\n");
  QXConsoleKeys& keys = QXGetConsoleKeys();
  const int key = keys.ReadKey();
  if (key != 'y' && key != 'Y') {
    return static_cast<int>(kToolExitCode);
  }

  QXDfuApi& api = Api();
  const QXDFU_WCHAR* fileName = QXToolLibraryFileName();
  const QXSTATUS st = api.LoadByName(fileName);
  if (st != QXSTATUS_SUCCESS) {
    QXToolPrintf("QXDfuApi::Instance().LoadByName(%s) failed, st=0x%08x\n", QXToolToUtf8(fileName).c_str(), st);
    keys.WaitForLine();
    return static_cast<int>(kToolExitCode);
  }

  const uint8_t* imageData = nullptr;
  size_t imageSize = 0;
  QXLoadFirmwareResource(imageData, imageSize);

  char filter[256];
  BuildDeviceFilterDescription(filter, sizeof(filter));

  // A failed load leaves the handle 0; the upgrade then reports it as an invalid image handle.
  uint32_t imageHandle = 0;
  QXDfuCall(api.QXDFU_LoadFirmwareFromBuffer, static_cast<const void*>(imageData), static_cast<uint64_t>(imageSize),
            QXDFU_IMAGE_TYPE_RAW_BINARY, &imageHandle, 0u);

  RunFirmwareUpgrade(filter, imageHandle);

  if (imageHandle != 0) {
    QXDfuRelease(api.QXDFU_UnloadFirmwareImage, imageHandle);
  }
  return static_cast<int>(kToolExitCode);
}

}  // namespace plendrik
