// The image exports: load from a file or a buffer, unload, and the property queries.
#include "api/DfuApi.h"
#include "diag/QXLog.h"
#include "image/DfuImage.h"

using namespace plendrik;

namespace plendrik {
namespace {

// The work behind the image exports; its log lines name it as their function.
class DfuApiImages {
 public:
  static QXSTATUS AddImage(const QXIntrusiveSharedPtrT<DfuImage>& image, uint32_t* imageHandle, const char* what) {
    const uint32_t handle = gDfuApi.mImages.AddObject(image);
    if (handle == 0) {
      QX_LOG_ERROR("AddObject failed");
      return QXSTATUS_NO_RESOURCES;
    }
    QX_LOG_INFO("Load image from {}, handle={:#X}", what, handle);
    *imageHandle = handle;
    return QXSTATUS_SUCCESS;
  }

  static QXSTATUS LoadFirmwareImageFromFile(const QXWChar* filePathAndName, uint32_t imageType, uint32_t* imageHandle,
                                            uint32_t flags) {
    if (filePathAndName == nullptr) {
      QX_LOG_ERROR("{} is nullptr", "filePathAndName");
      return QXSTATUS_INVALID_PARAMETER;
    }
    if (imageHandle == nullptr) {
      QX_LOG_ERROR("{} is nullptr", "imageHandle");
      return QXSTATUS_INVALID_PARAMETER;
    }
    *imageHandle = 0;
    // The table's reference is the only one once this function returns; a failed load
    // destroys the object with the last reference here.
    QXIntrusiveSharedPtrT<DfuImage> image = QXMakeShared<DfuImage>();
    const QXSTATUS st = image->LoadFirmwareImageFromFile(filePathAndName, imageType, flags);
    if (st != QXSTATUS_SUCCESS) {
      QX_LOG_ERROR("LoadFirmwareImageFromFile failed, st={}", QXSt{st});
      return st;
    }
    return AddImage(image, imageHandle, "file");
  }

  static QXSTATUS LoadFirmwareFromBuffer(const void* buffer, uint64_t bufferSize, uint32_t imageType,
                                         uint32_t* imageHandle, uint32_t flags) {
    if (imageHandle == nullptr) {
      QX_LOG_ERROR("{} is nullptr", "imageHandle");
      return QXSTATUS_INVALID_PARAMETER;
    }
    *imageHandle = 0;
    QXIntrusiveSharedPtrT<DfuImage> image = QXMakeShared<DfuImage>();
    const QXSTATUS st = image->LoadFirmwareFromBuffer(QXConstBuffer(buffer, bufferSize), imageType, flags);
    if (st != QXSTATUS_SUCCESS) {
      QX_LOG_ERROR("LoadFirmwareFromBuffer failed, st={}", QXSt{st});
      return st;
    }
    return AddImage(image, imageHandle, "buffer");
  }

  static QXSTATUS UnloadFirmwareImage(uint32_t imageHandle) {
    QXIntrusiveSharedPtrT<DfuImage> image = gDfuApi.mImages.RemoveObject(imageHandle);
    if (!image) {
      QX_LOG_ERROR("invalid imageHandle {:#X}", imageHandle);
      return QXSTATUS_INVALID_HANDLE;
    }
    QX_LOG_INFO("Image with handle {:#X} was unloaded", imageHandle);
    // A running upgrade keeps its own reference; otherwise the image goes with this one.
    return QXSTATUS_SUCCESS;
  }

  static QXIntrusiveSharedPtrT<DfuImage> LookUp(uint32_t imageHandle) {
    QXIntrusiveSharedPtrT<DfuImage> image = gDfuApi.mImages.GetObject(imageHandle);
    if (!image) {
      QX_LOG_ERROR("invalid imageHandle {:#X}", imageHandle);
    }
    return image;
  }
};

}  // namespace
}  // namespace plendrik

extern "C" {

QXSTATUS QXDFU_LoadFirmwareImageFromFile(const QXDFU_WCHAR* filePathAndName, uint32_t imageType, uint32_t* imageHandle,
                                         uint32_t flags) {
  QXDFU_API_TRACE("filePathAndName={}, imageType={}, imageHandle={}, flags={:#X}", filePathAndName, imageType,
                  imageHandle, flags);
  return DfuApiImages::LoadFirmwareImageFromFile(filePathAndName, imageType, imageHandle, flags);
}

QXSTATUS QXDFU_LoadFirmwareFromBuffer(const void* buffer, uint64_t bufferSize, uint32_t imageType,
                                      uint32_t* imageHandle, uint32_t flags) {
  QXDFU_API_TRACE("buffer={}, bufferSize={}, imageType={}, imageHandle={}, flags={:#X}", buffer, bufferSize, imageType,
                  imageHandle, flags);
  return DfuApiImages::LoadFirmwareFromBuffer(buffer, bufferSize, imageType, imageHandle, flags);
}

QXSTATUS QXDFU_UnloadFirmwareImage(uint32_t imageHandle) {
  QXDFU_API_TRACE("imageHandle={:#X}", imageHandle);
  return DfuApiImages::UnloadFirmwareImage(imageHandle);
}

QXSTATUS QXDFU_GetImagePropertyUint(uint32_t imageHandle, uint32_t propertyId, uint32_t* propertyValue) {
  QXDFU_API_TRACE("imageHandle={:#X}, propertyId={}, propertyValue={}", imageHandle, propertyId, propertyValue);
  QXIntrusiveSharedPtrT<DfuImage> image = DfuApiImages::LookUp(imageHandle);
  if (!image) {
    return QXSTATUS_INVALID_HANDLE;
  }
  return image->GetImagePropertyUint(propertyId, propertyValue);
}

QXSTATUS QXDFU_GetImagePropertyUint64(uint32_t imageHandle, uint32_t propertyId, uint64_t* propertyValue) {
  QXDFU_API_TRACE("imageHandle={:#X}, propertyId={}, propertyValue={}", imageHandle, propertyId, propertyValue);
  QXIntrusiveSharedPtrT<DfuImage> image = DfuApiImages::LookUp(imageHandle);
  if (!image) {
    return QXSTATUS_INVALID_HANDLE;
  }
  return image->GetImagePropertyUint64(propertyId, propertyValue);
}

QXSTATUS QXDFU_GetImagePropertyString(uint32_t imageHandle, uint32_t propertyId, QXDFU_WCHAR* stringBuffer,
                                      uint32_t stringBufferMaxItems) {
  QXDFU_API_TRACE("imageHandle={:#X}, propertyId={}, stringBuffer={}, stringBufferMaxItems={}", imageHandle, propertyId,
                  static_cast<const void*>(stringBuffer), stringBufferMaxItems);
  QXIntrusiveSharedPtrT<DfuImage> image = DfuApiImages::LookUp(imageHandle);
  if (!image) {
    return QXSTATUS_INVALID_HANDLE;
  }
  return image->GetImagePropertyString(propertyId, stringBuffer, stringBufferMaxItems);
}

}  // extern "C"
