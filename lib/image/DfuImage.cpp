#include "DfuImage.h"

#include <algorithm>
#include <new>

#include "diag/QXLog.h"
#include "image/DfuImageQxBinary.h"
#include "image/DfuImageRawBinary.h"

namespace plendrik {

DfuImage::~DfuImage() = default;

QXSTATUS DfuImage::CreateImplementation(uint32_t imageType) {
  std::unique_ptr<DfuImageBase> implementation;
  switch (imageType) {
    case QXDFU_IMAGE_TYPE_RAW_BINARY:
      implementation.reset(new (std::nothrow) DfuImageRawBinary());
      break;
    case QXDFU_IMAGE_TYPE_QX_BINARY:
      implementation.reset(new (std::nothrow) DfuImageQxBinary());
      break;
    default:
      QX_LOG_ERROR("invalid image type {}", imageType);
      return QXSTATUS_INVALID_PARAMETER;
  }
  if (implementation == nullptr) {
    return QXSTATUS_NO_MEMORY;
  }
  mImplementation = std::move(implementation);
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuImage::LoadFirmwareImageFromFile(const QXWChar* path, uint32_t imageType, uint32_t flags) {
  if (flags != 0) {
    QX_LOG_ERROR("invalid parameter: flags={}", flags);
    return QXSTATUS_INVALID_PARAMETER;
  }
  QXSTATUS st = CreateImplementation(imageType);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("CreateImplementation failed, st={}", QXSt{st});
    return st;
  }
  st = mImplementation->LoadFirmwareImageFromFile(path, flags);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("LoadFirmwareImageFromFile failed, st={}", QXSt{st});
    return st;
  }
  mImageType = imageType;
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuImage::LoadFirmwareFromBuffer(const QXConstBuffer& imageData, uint32_t imageType, uint32_t flags) {
  if (imageData.Ptr() == nullptr) {
    QX_LOG_ERROR("{} is nullptr", "imageData.Ptr()");
    return QXSTATUS_INVALID_PARAMETER;
  }
  if (imageData.ByteCount() == 0) {
    QX_LOG_ERROR("invalid parameter: {}={}", "imageData.ByteCount()", imageData.ByteCount());
    return QXSTATUS_INVALID_PARAMETER;
  }
  if (flags != 0) {
    QX_LOG_ERROR("invalid parameter: flags={}", flags);
    return QXSTATUS_INVALID_PARAMETER;
  }
  QXSTATUS st = CreateImplementation(imageType);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("CreateImplementation failed, st={}", QXSt{st});
    return st;
  }
  st = mImplementation->LoadFirmwareFromBuffer(imageData, flags);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("LoadFirmwareFromBuffer failed, st={}", QXSt{st});
    return st;
  }
  mImageType = imageType;
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuImage::GetImagePropertyUint(uint32_t propertyId, uint32_t* value) {
  if (value == nullptr) {
    QX_LOG_ERROR("{} is nullptr", "propertyValue");
    return QXSTATUS_INVALID_PARAMETER;
  }
  *value = 0;
  const bool metadataValue =
      propertyId >= QXDFU_IMAGE_PROPERTY_METADATA_VALUE_A && propertyId <= QXDFU_IMAGE_PROPERTY_METADATA_VALUE_C;
  const bool suffixValue =
      propertyId >= QXDFU_IMAGE_PROPERTY_HAS_DFU_SUFFIX && propertyId <= QXDFU_IMAGE_PROPERTY_SUFFIX_BCD_DFU;
  if (!metadataValue && !suffixValue) {
    QX_LOG_ERROR("unknown propertyId={}", propertyId);
    return QXSTATUS_NOT_SUPPORTED;
  }
  if (mImplementation == nullptr) {
    QX_LOG_ERROR("No valid image loaded");
    return QXSTATUS_NOT_POSSIBLE;
  }
  return mImplementation->GetImagePropertyUint(propertyId, *value);
}

QXSTATUS DfuImage::GetImagePropertyUint64(uint32_t propertyId, uint64_t* value) {
  if (value == nullptr) {
    QX_LOG_ERROR("{} is nullptr", "propertyValue");
    return QXSTATUS_INVALID_PARAMETER;
  }
  *value = 0;
  if (propertyId != QXDFU_IMAGE_PROPERTY_IMAGE_SIZE) {
    QX_LOG_ERROR("unknown propertyId={}", propertyId);
    return QXSTATUS_NOT_SUPPORTED;
  }
  if (mImplementation == nullptr) {
    QX_LOG_ERROR("No valid image loaded");
    return QXSTATUS_NOT_POSSIBLE;
  }
  return mImplementation->GetImagePropertyUint64(propertyId, *value);
}

QXSTATUS DfuImage::GetImagePropertyString(uint32_t propertyId, QXWChar* stringBuffer, uint32_t stringBufferMaxItems) {
  if (stringBuffer == nullptr) {
    QX_LOG_ERROR("{} is nullptr", "stringBuffer");
    return QXSTATUS_INVALID_PARAMETER;
  }
  if (stringBufferMaxItems < 2) {
    QX_LOG_ERROR("stringBufferMaxItems={} is invalid", stringBufferMaxItems);
    return QXSTATUS_INVALID_SIZE;
  }
  stringBuffer[0] = 0;
  if (propertyId != QXDFU_IMAGE_PROPERTY_BUILD_DATE && propertyId != QXDFU_IMAGE_PROPERTY_BUILD_KIND) {
    QX_LOG_ERROR("unknown propertyId={}", propertyId);
    return QXSTATUS_NOT_SUPPORTED;
  }
  if (mImplementation == nullptr) {
    QX_LOG_ERROR("No valid image loaded");
    return QXSTATUS_NOT_POSSIBLE;
  }
  QXWString text;
  const QXSTATUS st = mImplementation->GetImagePropertyString(propertyId, text);
  if (st != QXSTATUS_SUCCESS) {
    return st;
  }
  const size_t length = std::min(text.find(QXWChar{0}), text.size());
  const size_t copied = std::min<size_t>(length, stringBufferMaxItems - 1);
  std::copy_n(text.data(), copied, stringBuffer);
  stringBuffer[copied] = 0;
  if (copied < length) {
    QX_LOG_WARN("stringBufferMaxItems={} too small for {}, string was truncated", stringBufferMaxItems, length);
    return QXSTATUS_BUFFER_TOO_SMALL;
  }
  return QXSTATUS_SUCCESS;
}

}  // namespace plendrik
