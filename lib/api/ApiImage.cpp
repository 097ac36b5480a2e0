// The image exports: load from a file or a buffer, unload, and the property queries.
#include "api/DfuApi.h"
#include "diag/QXLog.h"
#include "image/DfuImage.h"

using namespace plendrik;

extern "C" {

QXSTATUS QXDFU_LoadFirmwareImageFromFile(const QXDFU_WCHAR* filePathAndName, uint32_t imageType, uint32_t* imageHandle,
                                         uint32_t flags) {
  QXDFU_API_TRACE("filePathAndName={}, imageType={}, imageHandle={}, flags={:#X}", filePathAndName, imageType,
                  imageHandle, flags);
  return gDfuApi.LoadFirmwareImageFromFile(filePathAndName, imageType, imageHandle, flags);
}

QXSTATUS QXDFU_LoadFirmwareFromBuffer(const void* buffer, uint64_t bufferSize, uint32_t imageType,
                                      uint32_t* imageHandle, uint32_t flags) {
  QXDFU_API_TRACE("buffer={}, bufferSize={}, imageType={}, imageHandle={}, flags={:#X}", buffer, bufferSize, imageType,
                  imageHandle, flags);
  return gDfuApi.LoadFirmwareFromBuffer(buffer, bufferSize, imageType, imageHandle, flags);
}

QXSTATUS QXDFU_UnloadFirmwareImage(uint32_t imageHandle) {
  QXDFU_API_TRACE("imageHandle={:#X}", imageHandle);
  return gDfuApi.UnloadFirmwareImage(imageHandle);
}

QXSTATUS QXDFU_GetImagePropertyUint(uint32_t imageHandle, uint32_t propertyId, uint32_t* propertyValue) {
  QXDFU_API_TRACE("imageHandle={:#X}, propertyId={}, propertyValue={}", imageHandle, propertyId, propertyValue);
  QXIntrusiveSharedPtrT<DfuImage> image = gDfuApi.GetImage(imageHandle);
  if (!image) {
    return QXSTATUS_INVALID_HANDLE;
  }
  return image->GetImagePropertyUint(propertyId, propertyValue);
}

QXSTATUS QXDFU_GetImagePropertyUint64(uint32_t imageHandle, uint32_t propertyId, uint64_t* propertyValue) {
  QXDFU_API_TRACE("imageHandle={:#X}, propertyId={}, propertyValue={}", imageHandle, propertyId, propertyValue);
  QXIntrusiveSharedPtrT<DfuImage> image = gDfuApi.GetImage(imageHandle);
  if (!image) {
    return QXSTATUS_INVALID_HANDLE;
  }
  return image->GetImagePropertyUint64(propertyId, propertyValue);
}

QXSTATUS QXDFU_GetImagePropertyString(uint32_t imageHandle, uint32_t propertyId, QXDFU_WCHAR* stringBuffer,
                                      uint32_t stringBufferMaxItems) {
  QXDFU_API_TRACE("imageHandle={:#X}, propertyId={}, stringBuffer={}, stringBufferMaxItems={}", imageHandle, propertyId,
                  static_cast<const void*>(stringBuffer), stringBufferMaxItems);
  QXIntrusiveSharedPtrT<DfuImage> image = gDfuApi.GetImage(imageHandle);
  if (!image) {
    return QXSTATUS_INVALID_HANDLE;
  }
  return image->GetImagePropertyString(propertyId, stringBuffer, stringBufferMaxItems);
}

}  // extern "C"
