#include "QXImgMetadata.h"

#include <algorithm>
#include <cstring>

#include "diag/QXLog.h"
#include "image/QXCrc32.h"

namespace plendrik {
namespace {

constexpr uint64_t kBlockHeaderSize = sizeof(QXImgMetadataBlock);
constexpr uint64_t kItemHeaderSize = sizeof(QXImgMetadataItem);
constexpr uint64_t kMinImageSize = 64;

uintptr_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

uint32_t LeastItemDataSize(uint16_t itemType) {
  switch (itemType) {
    case 1:
      return 1;
    case 2:
    case 5:
      return 2;
    case 3:
    case 4:
      return 4;
    default:
      return 0;
  }
}

}  // namespace

QXImgMetadataBlock QXReadImgMetadataBlock(const QXImgMetadataBlock* block) {
  QXImgMetadataBlock header;
  std::memcpy(&header, block, sizeof(header));
  return header;
}

QXImgMetadataItem QXReadImgMetadataItem(const QXImgMetadataItem* dataItem) {
  QXImgMetadataItem header;
  std::memcpy(&header, dataItem, sizeof(header));
  return header;
}

const QXImgMetadataBlock* QXFindImgMetadataBlock(const QXConstBuffer& data) {
  if (Address(data.Ptr()) % 4 != 0) {
    QX_LOG_ERROR("invalid {} {}", "Ptr", static_cast<const void*>(data.Ptr()));
    return nullptr;
  }
  if (data.Ptr() == nullptr || data.ByteCount() < kBlockHeaderSize) {
    QX_LOG_ERROR("invalid {} {}", "ByteCount", data.ByteCount());
    return nullptr;
  }
  const uint64_t lastOffset = data.ByteCount() - kBlockHeaderSize;
  for (uint64_t offset = 0; offset <= lastOffset; offset += 4) {
    const uint8_t* p = data.Ptr() + offset;
    uint32_t marker;
    std::memcpy(&marker, p + 4, sizeof(marker));
    if (marker != kQXImgBlockMarker || std::memcmp(p + 8, kQXImgMetadataMagic, sizeof(kQXImgMetadataMagic)) != 0) {
      continue;
    }
    const auto* block = reinterpret_cast<const QXImgMetadataBlock*>(p);
    const QXImgMetadataBlock header = QXReadImgMetadataBlock(block);
    if (header.headerSize < kBlockHeaderSize || header.version < 1 || header.totalSize < kBlockHeaderSize) {
      continue;
    }
    if (header.totalSize > data.ByteCount() - offset) {
      QX_LOG_ERROR("data block hangs over");
      return nullptr;
    }
    return block;
  }
  return nullptr;
}

QXSTATUS QXVerifyImgMetadataItem(const QXImgMetadataItem* dataItem) {
  if (dataItem == nullptr) {
    return QXSTATUS_INVALID_PARAMETER;
  }
  const QXImgMetadataItem item = QXReadImgMetadataItem(dataItem);
  if (item.itemMarker != kQXImgItemMarker) {
    return QXSTATUS_MAGIC_MISMATCH;
  }
  if (item.headerSize < kItemHeaderSize) {
    return QXSTATUS_INVALID_SIZE;
  }
  if (item.version == 0) {
    return QXSTATUS_VERSION_MISMATCH;
  }
  if (item.totalItemSize < kItemHeaderSize + LeastItemDataSize(item.itemType)) {
    return QXSTATUS_INVALID_LENGTH;
  }
  return QXSTATUS_SUCCESS;
}

const QXImgMetadataItem* QXFindNextImgMetadataItem(const QXImgMetadataBlock* block, const QXImgMetadataItem* dataItem) {
  if (block == nullptr) {
    return nullptr;
  }
  // Positions are compared as addresses so that no pointer is formed outside the block.
  const uintptr_t blockStart = Address(block);
  const uintptr_t blockEnd = blockStart + QXReadImgMetadataBlock(block).totalSize;
  uintptr_t candidate;
  if (dataItem == nullptr) {
    candidate = blockStart + kBlockHeaderSize;
  } else {
    const uintptr_t item = Address(dataItem);
    if (item < blockStart + kBlockHeaderSize || blockEnd < kItemHeaderSize || item > blockEnd - kItemHeaderSize) {
      QX_LOG_ERROR("invalid {} {}", "dataItem", static_cast<const void*>(dataItem));
      return nullptr;
    }
    if (QXVerifyImgMetadataItem(dataItem) != QXSTATUS_SUCCESS) {
      QX_LOG_FATAL("dataItem is invalid");
      return nullptr;
    }
    candidate = item + QXReadImgMetadataItem(dataItem).totalItemSize;
  }
  // The end of the list: no room for another item header.
  if (candidate > blockEnd || blockEnd - candidate < kItemHeaderSize) {
    return nullptr;
  }
  const auto* next = reinterpret_cast<const QXImgMetadataItem*>(candidate);
  const QXSTATUS st = QXVerifyImgMetadataItem(next);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_FATAL("{} failed, {:#X}", "QXVerifyImgMetadataItem", st);
    return nullptr;
  }
  const uint32_t totalItemSize = QXReadImgMetadataItem(next).totalItemSize;
  if (totalItemSize > blockEnd - candidate) {
    QX_LOG_ERROR("invalid {} {}", "totalItemSize", totalItemSize);
    return nullptr;
  }
  return next;
}

QXSTATUS QXExtractCrcSumFromImage(const QXImgMetadataBlock* block, const QXMemoryArea* areas, size_t areaCount,
                                  uint32_t& crcValue) {
  const QXImgMetadataBlock header = QXReadImgMetadataBlock(block);
  if (header.crcValueSize != 4) {
    QX_LOG_ERROR("invalid {} {}", "crcValueSize", header.crcValueSize);
    return QXSTATUS_NOT_AVAILABLE;
  }
  if (header.imageSize < kMinImageSize) {
    QX_LOG_ERROR("invalid {} {}", "imageSize", header.imageSize);
    return QXSTATUS_INVALID_SIZE;
  }
  // imageSize is a 64-bit field: a sum that wraps is beyond every image as well.
  uint64_t position = header.imageSize + header.paddingSize;
  if (position < header.imageSize) {
    QX_LOG_ERROR("oversized image");
    return QXSTATUS_FAILED;
  }
  if (position % 4 != 0) {
    QX_LOG_ERROR("invalid {} {}", "paddingSize", header.paddingSize);
    return QXSTATUS_INVALID_LENGTH;
  }
  for (size_t i = 0; i < areaCount; ++i) {
    const QXMemoryArea& area = areas[i];
    if (Address(area.startAddress) % 4 != 0) {
      QX_LOG_ERROR("invalid {} {}", "startAddress", static_cast<const void*>(area.startAddress));
      return QXSTATUS_INVALID_ADDRESS;
    }
    if (area.areaSize < 4 || area.areaSize % 4 != 0) {
      QX_LOG_ERROR("invalid {} {}", "areaSize", area.areaSize);
      return QXSTATUS_INVALID_SIZE;
    }
    if (position < area.areaSize) {
      std::memcpy(&crcValue, area.startAddress + position, sizeof(crcValue));
      return QXSTATUS_SUCCESS;
    }
    position -= area.areaSize;
  }
  QX_LOG_ERROR("oversized image");
  return QXSTATUS_FAILED;
}

QXSTATUS QXVerifyImageCrc(const QXImgMetadataBlock* block, const QXMemoryArea* areas, size_t areaCount,
                          const QXCrc32Checkpoints* checkpoints) {
  const QXImgMetadataBlock header = QXReadImgMetadataBlock(block);
  if ((header.flags & kQXImgFlagCrcPresent) == 0) {
    return QXSTATUS_SUCCESS;
  }
  uint32_t storedCrc = 0;
  const QXSTATUS st = QXExtractCrcSumFromImage(block, areas, areaCount, storedCrc);
  if (st != QXSTATUS_SUCCESS) {
    return st;
  }
  uint64_t remaining = header.imageSize;
  uint32_t crcRegister = kQXCrc32Init;
  for (size_t i = 0; i < areaCount && remaining != 0; ++i) {
    const uint64_t n = std::min(areas[i].areaSize, remaining);
    if (i == 0 && checkpoints != nullptr) {
      crcRegister = checkpoints->RegisterOfPrefix(areas[0].startAddress, static_cast<size_t>(n));
    } else {
      crcRegister = QXCrc32Update(crcRegister, areas[i].startAddress, static_cast<size_t>(n));
    }
    remaining -= n;
  }
  if (remaining != 0) {
    QX_LOG_ERROR("oversized image");
    return QXSTATUS_FAILED;
  }
  const uint32_t crcSum = ~crcRegister;
  if (crcSum != storedCrc) {
    QX_LOG_ERROR("crcSUM={:#x} != crcIMG={:#x}", crcSum, storedCrc);
    return QXSTATUS_CHECKSUM_ERROR;
  }
  return QXSTATUS_SUCCESS;
}

}  // namespace plendrik
