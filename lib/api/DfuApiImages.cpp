// The image functions of the library: load from a file or a buffer, unload, look up.
#include "api/DfuApi.h"
#include "diag/QXLog.h"
#include "image/DfuImage.h"

namespace plendrik {

QXSTATUS DfuApi::AddImage(const QXIntrusiveSharedPtrT<DfuImage>& image, uint32_t* imageHandle, const char* what) {
  const uint32_t handle = mImages.AddObject(image);
  if (handle == 0) {
    QX_LOG_ERROR("AddObject failed");
    return QXSTATUS_NO_RESOURCES;
  }
  QX_LOG_INFO("Load image from {}, handle={:#X}", what, handle);
  *imageHandle = handle;
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuApi::LoadFirmwareImageFromFile(const QXWChar* filePathAndName, uint32_t imageType, uint32_t* imageHandle,
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

QXSTATUS DfuApi::LoadFirmwareFromBuffer(const void* buffer, uint64_t bufferSize, uint32_t imageType,
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

QXSTATUS DfuApi::UnloadFirmwareImage(uint32_t imageHandle) {
  QXIntrusiveSharedPtrT<DfuImage> image = mImages.RemoveObject(imageHandle);
  if (!image) {
    QX_LOG_ERROR("invalid imageHandle {:#X}", imageHandle);
    return QXSTATUS_INVALID_HANDLE;
  }
  QX_LOG_INFO("Image with handle {:#X} was unloaded", imageHandle);
  // A running upgrade keeps its own reference; otherwise the image goes with this one.
  return QXSTATUS_SUCCESS;
}

QXIntrusiveSharedPtrT<DfuImage> DfuApi::GetImage(uint32_t imageHandle) {
  QXIntrusiveSharedPtrT<DfuImage> image = mImages.GetObject(imageHandle);
  if (!image) {
    QX_LOG_ERROR("invalid imageHandle {:#X}", imageHandle);
  }
  return image;
}

}  // namespace plendrik
