// The tool's binding of the library: one process-wide table of the 25 exports, filled by
// LoadByName from the library file loaded at run time. The rest of the tool calls the library
// only through this table (QXDfuCall / QXDfuRelease / QXDfuErrorText below).
#pragma once

#include <cstdint>

#include "QXToolModule.h"
#include "flashbridge.h"

namespace plendrik {

// The exports in table order.
#define QXDFU_API_ENTRY_POINTS(X)       \
  X(QXDFU_GetApiVersion)                \
  X(QXDFU_CheckApiVersion)              \
  X(QXDFU_GetUniCharSize)               \
  X(QXDFU_GetErrorText)                 \
  X(QXDFU_StartFileLogging)             \
  X(QXDFU_EnumerateUsbDfuDevices)       \
  X(QXDFU_CloseEnumeration)             \
  X(QXDFU_CompareDeviceInstance)        \
  X(QXDFU_OpenDevice)                   \
  X(QXDFU_CloseDevice)                  \
  X(QXDFU_CheckDeviceConnection)        \
  X(QXDFU_GetDevicePropertyUint)        \
  X(QXDFU_GetDevicePropertyString)      \
  X(QXDFU_RebootDevice)                 \
  X(QXDFU_StartUpgrade)                 \
  X(QXDFU_GetUpgradeStatus)             \
  X(QXDFU_FinishUpgrade)                \
  X(QXDFU_LoadFirmwareImageFromFile)    \
  X(QXDFU_LoadFirmwareFromBuffer)       \
  X(QXDFU_UnloadFirmwareImage)          \
  X(QXDFU_GetImagePropertyUint)         \
  X(QXDFU_GetImagePropertyUint64)       \
  X(QXDFU_GetImagePropertyString)       \
  X(QXDFU_RegisterDeviceChangeCallback) \
  X(QXDFU_UnregisterDeviceChangeCallback)

class QXDfuApi {
 public:
  // The library version the tool is built for.
  static constexpr uint32_t kRequiredMajorVersion = 1;
  static constexpr uint32_t kRequiredMinorVersion = 13;
  static constexpr int kEntryPointCount = 25;

  static QXDfuApi& Instance();

  // Loads the library file (a bare name is taken from the current directory), checks its API
  // version and resolves all 25 exports. 0 on success; on failure nothing stays loaded and
  // every entry point is null.
  QXSTATUS LoadByName(const QXDFU_WCHAR* fileName);

  // Clears every entry point, then releases the module when one is loaded.
  void Unload();

  // Number of entry points that are set (25 after a successful load).
  int LoadedEntryPointCount() const;

  QXToolModuleHandle module = nullptr;
  uint32_t apiVersion = 0;
#define QXDFU_DECLARE_ENTRY_POINT(name) decltype(&::name) name = nullptr;
  QXDFU_API_ENTRY_POINTS(QXDFU_DECLARE_ENTRY_POINT)
#undef QXDFU_DECLARE_ENTRY_POINT
};

// A call through the table for an operation that answers a status: QXSTATUS_NOT_AVAILABLE
// without a call when the entry point is not loaded.
template <class EntryPoint, class... Args>
QXSTATUS QXDfuCall(EntryPoint entryPoint, Args... args) {
  if (entryPoint == nullptr) {
    return QXSTATUS_NOT_AVAILABLE;
  }
  return entryPoint(args...);
}

// A release operation (close, unload): skipped when the entry point is not loaded; the caller
// clears its handle either way.
template <class EntryPoint>
void QXDfuRelease(EntryPoint entryPoint, uint32_t& handle) {
  if (entryPoint != nullptr) {
    entryPoint(handle);
  }
  handle = 0;
}

// The status name from the library, or "" when QXDFU_GetErrorText is not loaded.
const char* QXDfuErrorText(QXSTATUS status);

}  // namespace plendrik
