// The library singleton: the four handle tables, the driver interface GUID text from the
// configuration file, and the work behind the set-up exports.
#pragma once

#include <string>

#include "api/QXHandleBasedMap.h"
#include "device/DfuDevice.h"
#include "discovery/DfuEnumerator.h"
#include "discovery/DfuNotification.h"
#include "image/DfuImage.h"
#include "os/QXIntrusiveSharedPtr.h"
#include "os/QXOsMutex.h"
#include "os/QXOsSystem.h"

namespace plendrik {

template <class T>
using QXHandleTable = QXHandleBasedMapT<QXIntrusiveSharedPtrT<T>, QXOsThreadMutexAutoCreate, unsigned int, 16>;

class DfuApi {
 public:
  static constexpr uint32_t kApiVersionMajor = QXDFU_API_VERSION_MAJOR;
  static constexpr uint32_t kApiVersionMinor = QXDFU_API_VERSION_MINOR;

  DfuApi();
  ~DfuApi();
  DfuApi(const DfuApi&) = delete;
  DfuApi& operator=(const DfuApi&) = delete;

  // 1 when the caller's version is served by this library, else 0.
  int32_t CheckApiVersion(uint32_t majorVersion, uint32_t minorVersion);
  QXSTATUS StartFileLogging(const QXWChar* logFileName, uint32_t flags);

  // Images: a new image is loaded, then stored in the image table; a failed load leaves
  // *imageHandle 0.
  QXSTATUS LoadFirmwareImageFromFile(const QXWChar* filePathAndName, uint32_t imageType, uint32_t* imageHandle,
                                     uint32_t flags);
  QXSTATUS LoadFirmwareFromBuffer(const void* buffer, uint64_t bufferSize, uint32_t imageType, uint32_t* imageHandle,
                                  uint32_t flags);
  QXSTATUS UnloadFirmwareImage(uint32_t imageHandle);
  // The image behind a handle with a reference for the caller, or empty (logged).
  QXIntrusiveSharedPtrT<DfuImage> GetImage(uint32_t imageHandle);

  // Enumerations: a new enumeration is run, then stored in the enumeration table.
  QXSTATUS EnumerateUsbDfuDevices(const char* deviceFilterDescription, uint32_t* enumerationHandle,
                                  uint32_t* deviceCount, uint32_t retryCount, uint32_t retryDelay, uint32_t flags);
  QXSTATUS CloseEnumeration(uint32_t enumerationHandle);

  // Devices: a new session is opened from an enumeration entry, then stored in the device table.
  QXSTATUS CompareDeviceInstance(uint32_t enumerationHandle, uint32_t deviceIndex, uint32_t deviceHandle);
  QXSTATUS OpenDevice(uint32_t enumerationHandle, uint32_t deviceIndex, uint32_t* deviceHandle, uint32_t flags);
  QXSTATUS CloseDevice(uint32_t deviceHandle);
  QXSTATUS StartUpgrade(uint32_t deviceHandle, uint32_t imageHandle, uint32_t targetId, uint32_t flags);
  // The session behind a handle with a reference for the caller, or empty (logged).
  QXIntrusiveSharedPtrT<DfuDevice> GetDevice(uint32_t deviceHandle);

  // Device change callbacks: a new registration starts its thread, then goes into the
  // notification table; unregistering ends the thread before it returns.
  QXSTATUS RegisterDeviceChangeCallback(const char* deviceFilterDescription, QXDFU_DEVICE_CHANGE_CALLBACK callback,
                                        void* callbackContext, uint32_t* notificationHandle);
  QXSTATUS UnregisterDeviceChangeCallback(uint32_t notificationHandle);
  // Ends every registration still alive (the library unloads): their threads are joined
  // while the code they run is still there.
  void CloseAllNotifications();

  // Reads "<module file>.config.ini" beside the module.
  void ReadConfigData(QXOsModuleHandle module);
  // Reads one configuration file; the GUID text changes only when the key is found.
  QXSTATUS ReadConfigFile(const QXWString& path);
  const std::string& GetDriverInterfaceGuid() const { return mDriverInterfaceGuid; }
  void SetDriverInterfaceGuid(const std::string& guid) { mDriverInterfaceGuid = guid; }

  QXHandleTable<DfuEnumerator> mEnumerations;
  QXHandleTable<DfuDevice> mDevices;
  QXHandleTable<DfuImage> mImages;
  QXHandleTable<DfuNotification> mNotifications;

 private:
  QXSTATUS AddImage(const QXIntrusiveSharedPtrT<DfuImage>& image, uint32_t* imageHandle, const char* what);
  // The enumeration behind a handle, or empty with the device functions' message.
  QXIntrusiveSharedPtrT<DfuEnumerator> GetEnumerationForDevice(uint32_t enumerationHandle);

  std::string mDriverInterfaceGuid;
};

// Built when the library is loaded; destroyed when it is unloaded, but not when the process ends.
extern DfuApi& gDfuApi;

// Writes the library version and build time at level 4 on "Global".
void PrintBanner();

// The exit line of the API trace, written when the export returns.
class QXApiTraceScope {
 public:
  explicit QXApiTraceScope(const char* prettyFunction) : mPrettyFunction(prettyFunction) {}
  ~QXApiTraceScope();
  QXApiTraceScope(const QXApiTraceScope&) = delete;
  QXApiTraceScope& operator=(const QXApiTraceScope&) = delete;

 private:
  const char* mPrettyFunction;
};

}  // namespace plendrik

// Entry and exit lines of the API trace at level 6 on "DFUAPI": "[ " with the arguments,
// and "] " when the export returns.
#define QXDFU_API_TRACE(...)                                                         \
  QX_LOG(::plendrik::gLogDfuApi, ::plendrik::kQXLogLevelTrace, "[ " __VA_ARGS__);    \
  ::plendrik::QXApiTraceScope qxApiTraceScope_(QX_PRETTY_FUNCTION)
