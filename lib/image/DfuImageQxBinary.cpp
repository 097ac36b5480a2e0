#include "DfuImageQxBinary.h"

#include <cstring>

#include "diag/QXLog.h"
#include "os/QXOsString.h"

namespace plendrik {
namespace {

constexpr uint16_t kItemIdBuildDate = 1;
constexpr uint16_t kItemIdBuildKind = 2;

// Capacity for a string of length characters and its NUL, in steps of 8 bytes.
size_t StringCapacity(size_t length) { return (length + 1 + 7) / 8 * 8; }

}  // namespace

DfuImageQxBinary::~DfuImageQxBinary() = default;

QXSTATUS DfuImageQxBinary::LoadFirmwareImageFromFile(const QXWChar* path, uint32_t /*flags*/) {
  const QXWChar* pathText = path != nullptr ? path : QXW("");
  QXSTATUS st = LoadFromFile(path);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("LoadFromFile({}) failed, st={}", pathText, QXSt{st});
    return st;
  }
  st = VerifyImage();
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("VerifyImage {} failed, st={}", pathText, QXSt{st});
    Reset();
    return st;
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuImageQxBinary::LoadFirmwareFromBuffer(const QXConstBuffer& imageData, uint32_t /*flags*/) {
  QXSTATUS st = LoadFromBuffer(imageData);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("LoadFromBuffer failed, st={}", QXSt{st});
    return st;
  }
  st = VerifyImage();
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("VerifyImage failed, st={}", QXSt{st});
    Reset();
    return st;
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuImageQxBinary::VerifyImage() {
  mMetadataBlock = nullptr;
  if (mData == nullptr || mByteCount == 0) {
    QX_LOG_ERROR("No image loaded");
    return QXSTATUS_NOT_AVAILABLE;
  }
  // The search and the CRC stay within the firmware bytes: a DFU suffix is not part of them.
  mMetadataBlock = QXFindImgMetadataBlock(QXConstBuffer(mData.get(), mImageDataLength));
  if (mMetadataBlock == nullptr) {
    QX_LOG_ERROR("No metadata block found");
    return QXSTATUS_INVALID_FILE;
  }
  const QXMemoryArea area{mData.get(), mImageDataLength};
  // With a DFU suffix the suffix check has already run the CRC over these bytes from byte 0.
  const QXSTATUS st = QXVerifyImageCrc(mMetadataBlock, &area, 1, &CrcCheckpoints());
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("QXVerifyImageCrc failed, st={}", QXSt{st});
    mMetadataBlock = nullptr;
    return st;
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuImageQxBinary::GetMetaDataString(uint16_t itemId, std::string& narrowString) {
  if (mData == nullptr || mMetadataBlock == nullptr) {
    QX_LOG_ERROR("No valid image loaded");
    return QXSTATUS_NOT_POSSIBLE;
  }
  const QXImgMetadataItem* found = nullptr;
  for (const QXImgMetadataItem* item = QXFindNextImgMetadataItem(mMetadataBlock, nullptr); item != nullptr;
       item = QXFindNextImgMetadataItem(mMetadataBlock, item)) {
    if (QXReadImgMetadataItem(item).itemId == itemId) {
      found = item;
      break;
    }
  }
  if (found == nullptr) {
    return QXSTATUS_OBJECT_NOT_FOUND;
  }
  const QXImgMetadataItem header = QXReadImgMetadataItem(found);
  if (header.itemType != kQXImgItemTypeCharString) {
    QX_LOG_ERROR("itemId={} is not a CHAR string", itemId);
    return QXSTATUS_INVALID_TYPE;
  }
  // A string without NUL ends with the item's data: nothing behind the item is read.
  const char* text = reinterpret_cast<const char*>(QXImgMetadataItemData(found));
  const size_t dataSize = header.totalItemSize - sizeof(QXImgMetadataItem);
  const void* nul = std::memchr(text, 0, dataSize);
  const size_t length = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - text) : dataSize;
  try {
    std::string stored;
    stored.reserve(StringCapacity(length));
    stored.assign(text, length);
    narrowString = std::move(stored);
  } catch (const std::bad_alloc&) {
    const QXSTATUS st = QXSTATUS_NO_MEMORY;
    QX_LOG_ERROR("StoreString failed, st={}", QXSt{st});
    return st;
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuImageQxBinary::GetImagePropertyUint(uint32_t propertyId, uint32_t& value) {
  if (mData == nullptr || mMetadataBlock == nullptr) {
    QX_LOG_ERROR("No valid image loaded");
    return QXSTATUS_NOT_POSSIBLE;
  }
  const QXImgMetadataBlock header = QXReadImgMetadataBlock(mMetadataBlock);
  switch (propertyId) {
    case QXDFU_IMAGE_PROPERTY_METADATA_VALUE_A:
      value = header.valueA;
      return QXSTATUS_SUCCESS;
    case QXDFU_IMAGE_PROPERTY_METADATA_VALUE_B:
      value = header.valueB;
      return QXSTATUS_SUCCESS;
    case QXDFU_IMAGE_PROPERTY_VERSION_1:
      value = header.version1;
      return QXSTATUS_SUCCESS;
    case QXDFU_IMAGE_PROPERTY_VERSION_2:
      value = header.version2;
      return QXSTATUS_SUCCESS;
    case QXDFU_IMAGE_PROPERTY_VERSION_3:
      value = header.version3;
      return QXSTATUS_SUCCESS;
    case QXDFU_IMAGE_PROPERTY_VERSION_4:
      value = header.version4;
      return QXSTATUS_SUCCESS;
    case QXDFU_IMAGE_PROPERTY_TARGET_ID:
      value = header.targetId;
      return QXSTATUS_SUCCESS;
    case QXDFU_IMAGE_PROPERTY_METADATA_VALUE_C:
      value = header.valueC;
      return QXSTATUS_SUCCESS;
    default:
      return DfuImageBase::GetImagePropertyUint(propertyId, value);
  }
}

QXSTATUS DfuImageQxBinary::GetImagePropertyString(uint32_t propertyId, QXWString& wideString) {
  if (mData == nullptr || mMetadataBlock == nullptr) {
    QX_LOG_ERROR("No valid image loaded");
    return QXSTATUS_NOT_POSSIBLE;
  }
  uint16_t itemId;
  if (propertyId == QXDFU_IMAGE_PROPERTY_BUILD_DATE) {
    itemId = kItemIdBuildDate;
  } else if (propertyId == QXDFU_IMAGE_PROPERTY_BUILD_KIND) {
    itemId = kItemIdBuildKind;
  } else {
    return QXSTATUS_NOT_SUPPORTED;
  }
  std::string narrowString;
  const QXSTATUS st = GetMetaDataString(itemId, narrowString);
  if (st != QXSTATUS_SUCCESS) {
    return st;
  }
  QXWString converted = QXUtf8ToUtf16(narrowString);
  // The conversion replaces invalid sequences; a text that does not survive the round trip
  // was not UTF-8, and a replaced text is not handed out as if it were the stored one.
  if (QXUtf16ToUtf8(converted) != narrowString) {
    QX_LOG_ERROR("Conversion of string '{}' failed.", narrowString);
    return QXSTATUS_CONVERSION_FAILED;
  }
  wideString = std::move(converted);
  return QXSTATUS_SUCCESS;
}

}  // namespace plendrik
