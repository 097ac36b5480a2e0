// The device functions of the library: open a session from an enumeration entry, close it,
// compare it with an entry, and start an upgrade with an image.
#include "api/DfuApi.h"
#include "diag/QXLog.h"
#include "discovery/DfuEnumeratorPortInterface.h"

namespace plendrik {

QXIntrusiveSharedPtrT<DfuEnumerator> DfuApi::GetEnumerationForDevice(uint32_t enumerationHandle) {
  QXIntrusiveSharedPtrT<DfuEnumerator> enumerator = mEnumerations.GetObject(enumerationHandle);
  if (!enumerator) {
    QX_LOG_ERROR("invalid enumeratorHandle {:#X}", enumerationHandle);
  }
  return enumerator;
}

QXIntrusiveSharedPtrT<DfuDevice> DfuApi::GetDevice(uint32_t deviceHandle) {
  QXIntrusiveSharedPtrT<DfuDevice> device = mDevices.GetObject(deviceHandle);
  if (!device) {
    QX_LOG_ERROR("invalid deviceHandle {:#X}", deviceHandle);
  }
  return device;
}

QXSTATUS DfuApi::CompareDeviceInstance(uint32_t enumerationHandle, uint32_t deviceIndex, uint32_t deviceHandle) {
  QXIntrusiveSharedPtrT<DfuEnumerator> enumerator = GetEnumerationForDevice(enumerationHandle);
  if (!enumerator) {
    return QXSTATUS_INVALID_HANDLE;
  }
  QXIntrusiveSharedPtrT<DfuDevice> device = GetDevice(deviceHandle);
  if (!device) {
    return QXSTATUS_INVALID_HANDLE;
  }
  DfuEnumeratorPortInterface* enumeratorPort = enumerator->GetPort();
  if (enumeratorPort == nullptr) {
    return QXSTATUS_NO_MATCH;
  }
  return enumeratorPort->CompareDeviceInstance(deviceIndex, device->GetDevicePort());
}

QXSTATUS DfuApi::OpenDevice(uint32_t enumerationHandle, uint32_t deviceIndex, uint32_t* deviceHandle, uint32_t flags) {
  if (deviceHandle == nullptr) {
    QX_LOG_ERROR("{} is nullptr", "deviceHandle");
    return QXSTATUS_INVALID_PARAMETER;
  }
  *deviceHandle = 0;
  QXIntrusiveSharedPtrT<DfuEnumerator> enumerator = GetEnumerationForDevice(enumerationHandle);
  if (!enumerator) {
    return QXSTATUS_INVALID_HANDLE;
  }
  // A failed open destroys the new session with the last reference here.
  QXIntrusiveSharedPtrT<DfuDevice> device = QXMakeShared<DfuDevice>();
  const QXSTATUS st = device->OpenDevice(*enumerator, deviceIndex, flags);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("OpenDevice failed, st={}", QXSt{st});
    return st;
  }
  const uint32_t handle = mDevices.AddObject(device);
  if (handle == 0) {
    QX_LOG_ERROR("AddObject failed");
    return QXSTATUS_NO_RESOURCES;
  }
  QX_LOG_INFO("Successfully opened device {} on enumerator {:#X}, handle={:#X}", deviceIndex, enumerationHandle,
              handle);
  *deviceHandle = handle;
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuApi::CloseDevice(uint32_t deviceHandle) {
  QXIntrusiveSharedPtrT<DfuDevice> device = mDevices.RemoveObject(deviceHandle);
  if (!device) {
    QX_LOG_ERROR("invalid deviceHandle {:#X}", deviceHandle);
    return QXSTATUS_INVALID_HANDLE;
  }
  device->RequestCloseDevice();
  QX_LOG_INFO("Device with handle {:#X} was closed", deviceHandle);
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuApi::StartUpgrade(uint32_t deviceHandle, uint32_t imageHandle, uint32_t targetId, uint32_t flags) {
  QXIntrusiveSharedPtrT<DfuDevice> device = GetDevice(deviceHandle);
  if (!device) {
    return QXSTATUS_INVALID_HANDLE;
  }
  QXIntrusiveSharedPtrT<DfuImage> image = GetImage(imageHandle);
  if (!image) {
    return QXSTATUS_INVALID_HANDLE;
  }
  return device->StartUpgrade(image, targetId, flags);
}

}  // namespace plendrik
