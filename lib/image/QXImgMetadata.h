// The metadata block that an image of type 2 carries at a 4-byte-aligned offset: a 60-byte
// header (version, target identification, CRC-covered length) followed by typed items, and
// the CRC check of the image that the header describes. All fields are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/QXCrc32.h"
#include "image/QXImageBuffers.h"
#include "os/QXOsTypes.h"

namespace plendrik {

inline constexpr uint32_t kQXImgBlockMarker = 0xE1BEADDEu;
inline constexpr uint32_t kQXImgItemMarker = 0xE2BEADDEu;
inline constexpr char kQXImgMetadataMagic[16] = {'Q', 'X', '#', 'I', 'M', 'G', '#', 'M',
                                                 'E', 'T', 'A', 'D', 'A', 'T', 'A', '#'};
inline constexpr uint8_t kQXImgFlagCrcPresent = 0x01;
inline constexpr uint16_t kQXImgItemTypeCharString = 1;

#pragma pack(push, 4)
struct QXImgMetadataBlock {
  uint16_t headerSize;
  uint16_t version;
  uint32_t blockMarker;
  char magic[16];
  uint32_t totalSize;
  uint8_t flags;
  uint8_t reserved;
  uint8_t valueA;
  uint8_t valueB;
  uint32_t targetId;
  uint32_t valueC;
  uint16_t version1;
  uint16_t version2;
  uint16_t version3;
  uint16_t version4;
  uint64_t imageSize;
  uint16_t paddingSize;
  uint16_t crcValueSize;
};

struct QXImgMetadataItem {
  uint16_t headerSize;
  uint16_t version;
  uint32_t itemMarker;
  uint32_t totalItemSize;
  uint16_t itemId;
  uint16_t itemType;
  // the item's data follows at offset 16
};
#pragma pack(pop)
static_assert(sizeof(QXImgMetadataBlock) == 60);
static_assert(offsetof(QXImgMetadataBlock, imageSize) == 48);
static_assert(sizeof(QXImgMetadataItem) == 16);

// Copies of the headers (the pointers point into image bytes of any alignment).
QXImgMetadataBlock QXReadImgMetadataBlock(const QXImgMetadataBlock* block);
QXImgMetadataItem QXReadImgMetadataItem(const QXImgMetadataItem* dataItem);

// Data bytes of an item (totalItemSize - 16 of them).
inline const uint8_t* QXImgMetadataItemData(const QXImgMetadataItem* dataItem) {
  return reinterpret_cast<const uint8_t*>(dataItem) + sizeof(QXImgMetadataItem);
}

// The first block found at a 4-byte-aligned position of data, or null.
const QXImgMetadataBlock* QXFindImgMetadataBlock(const QXConstBuffer& data);
// The item after dataItem (null: the first item), or null at the end or at a broken item.
const QXImgMetadataItem* QXFindNextImgMetadataItem(const QXImgMetadataBlock* block, const QXImgMetadataItem* dataItem);
QXSTATUS QXVerifyImgMetadataItem(const QXImgMetadataItem* dataItem);
// The stored CRC value behind the covered area.
QXSTATUS QXExtractCrcSumFromImage(const QXImgMetadataBlock* block, const QXMemoryArea* areas, size_t areaCount,
                                  uint32_t& crcValue);
// Computes the CRC over the covered area and compares it with the stored value. checkpoints,
// when given, hold the register over a buffer that the first area starts: the covered part of
// that area is then not read a second time.
QXSTATUS QXVerifyImageCrc(const QXImgMetadataBlock* block, const QXMemoryArea* areas, size_t areaCount,
                          const QXCrc32Checkpoints* checkpoints = nullptr);

}  // namespace plendrik
