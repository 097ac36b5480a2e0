#include <gtest/gtest.h>

#include <memory>

#include "image/ImageTestFiles.h"
#include "image/QXImgMetadata.h"

namespace plendrik {
namespace {

using fbimg::Bytes;

// Image bytes at a 4-byte-aligned address, as the loader holds them.
struct AlignedCopy {
  explicit AlignedCopy(const Bytes& b) : storage(new uint32_t[(b.size() + 7) / 4]), size(b.size()) {
    std::memcpy(storage.get(), b.data(), b.size());
  }
  const uint8_t* Data() const { return reinterpret_cast<const uint8_t*>(storage.get()); }
  std::unique_ptr<uint32_t[]> storage;
  size_t size;
};

TEST(QXImgMetadataTest, BlockSearchNeedsAnAlignedPointerAndAFullHeader) {
  const AlignedCopy image(fbimg::MakeQxImage());
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(QXFindImgMetadataBlock({image.Data(), image.size})), image.Data() + 64);
  EXPECT_EQ(QXFindImgMetadataBlock({image.Data() + 2, image.size - 2}), nullptr);
  EXPECT_EQ(QXFindImgMetadataBlock({image.Data() + 64, 59}), nullptr);
  // A block exactly at the end of the data is found; one byte less and it hangs over.
  const QXImgMetadataBlock header =
      QXReadImgMetadataBlock(reinterpret_cast<const QXImgMetadataBlock*>(image.Data() + 64));
  EXPECT_NE(QXFindImgMetadataBlock({image.Data(), 64 + header.totalSize}), nullptr);
  EXPECT_EQ(QXFindImgMetadataBlock({image.Data(), 64 + header.totalSize - 1}), nullptr);
}

TEST(QXImgMetadataTest, ItemWalkStopsAtBrokenItemsAndAtTheBlockEnd) {
  Bytes bytes = fbimg::MakeQxImage();
  const AlignedCopy good(bytes);
  const auto* block = QXFindImgMetadataBlock({good.Data(), good.size});
  ASSERT_NE(block, nullptr);
  int count = 0;
  for (auto* item = QXFindNextImgMetadataItem(block, nullptr); item != nullptr;
       item = QXFindNextImgMetadataItem(block, item)) {
    ++count;
  }
  EXPECT_EQ(count, 3);
  // A pointer outside the item area is refused.
  EXPECT_EQ(QXFindNextImgMetadataItem(block, reinterpret_cast<const QXImgMetadataItem*>(block)), nullptr);

  // Second item with a bad marker: the walk ends after the first.
  bytes[64 + 60 + 40 + 4] = 0;
  const AlignedCopy broken(bytes);
  block = QXFindImgMetadataBlock({broken.Data(), broken.size});
  const QXImgMetadataItem* first = QXFindNextImgMetadataItem(block, nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(QXFindNextImgMetadataItem(block, first), nullptr);

  // An item claiming more bytes than the block has left is refused.
  bytes = fbimg::MakeQxImage();
  fbimg::PutLe(bytes, 64 + 60 + 8, 1000, 4);
  const AlignedCopy longItem(bytes);
  block = QXFindImgMetadataBlock({longItem.Data(), longItem.size});
  EXPECT_EQ(QXFindNextImgMetadataItem(block, nullptr), nullptr);
}

TEST(QXImgMetadataTest, ItemHeaderChecksInOrder) {
  Bytes item(20, 0);
  fbimg::PutLe(item, 0, 16, 2);
  fbimg::PutLe(item, 2, 1, 2);
  fbimg::PutLe(item, 4, kQXImgItemMarker, 4);
  fbimg::PutLe(item, 8, 20, 4);
  fbimg::PutLe(item, 14, 3, 2);
  auto verify = [&] { return QXVerifyImgMetadataItem(reinterpret_cast<const QXImgMetadataItem*>(item.data())); };
  EXPECT_EQ(verify(), QXSTATUS_SUCCESS);
  fbimg::PutLe(item, 8, 19, 4);  // type 3 needs four data bytes
  EXPECT_EQ(verify(), QXSTATUS_INVALID_LENGTH);
  fbimg::PutLe(item, 14, 9, 2);  // unknown types need none
  fbimg::PutLe(item, 8, 16, 4);
  EXPECT_EQ(verify(), QXSTATUS_SUCCESS);
  fbimg::PutLe(item, 2, 0, 2);
  EXPECT_EQ(verify(), QXSTATUS_VERSION_MISMATCH);
  fbimg::PutLe(item, 0, 15, 2);
  EXPECT_EQ(verify(), QXSTATUS_INVALID_SIZE);
  item[4] = 0;
  EXPECT_EQ(verify(), QXSTATUS_MAGIC_MISMATCH);
  EXPECT_EQ(QXVerifyImgMetadataItem(nullptr), QXSTATUS_INVALID_PARAMETER);
}

TEST(QXImgMetadataTest, CrcSpansSeveralAreasAndChecksTheirShape) {
  const AlignedCopy image(fbimg::MakeQxImage());
  const auto* block = QXFindImgMetadataBlock({image.Data(), image.size});
  ASSERT_NE(block, nullptr);
  const uint8_t* d = image.Data();
  const QXMemoryArea whole{d, 512};
  EXPECT_EQ(QXVerifyImageCrc(block, &whole, 1), QXSTATUS_SUCCESS);
  // The stored word is found in the third area, and the CRC runs across the seams.
  const QXMemoryArea pieces[] = {{d, 100}, {d + 100, 300}, {d + 400, 112}};
  uint32_t stored = 0;
  EXPECT_EQ(QXExtractCrcSumFromImage(block, pieces, 3, stored), QXSTATUS_SUCCESS);
  EXPECT_EQ(stored, fbimg::RefCrc32(d, 508));
  EXPECT_EQ(QXVerifyImageCrc(block, pieces, 3), QXSTATUS_SUCCESS);
  // Too few areas, misaligned and odd-sized areas.
  EXPECT_EQ(QXVerifyImageCrc(block, pieces, 2), QXSTATUS_FAILED);
  EXPECT_EQ(QXVerifyImageCrc(block, pieces, 0), QXSTATUS_FAILED);
  const QXMemoryArea unaligned[] = {{d + 2, 400}};
  EXPECT_EQ(QXExtractCrcSumFromImage(block, unaligned, 1, stored), QXSTATUS_INVALID_ADDRESS);
  const QXMemoryArea odd[] = {{d, 102}, {d + 102, 410}};
  EXPECT_EQ(QXExtractCrcSumFromImage(block, odd, 2, stored), QXSTATUS_INVALID_SIZE);
  const QXMemoryArea small[] = {{d, 0}, {d, 512}};
  EXPECT_EQ(QXExtractCrcSumFromImage(block, small, 2, stored), QXSTATUS_INVALID_SIZE);
}

TEST(QXImgMetadataTest, StoredValueMustBeFourBytes) {
  Bytes bytes = fbimg::MakeQxImage();
  fbimg::PutLe(bytes, 64 + 58, 2, 2);
  const AlignedCopy image(bytes);
  const auto* block = QXFindImgMetadataBlock({image.Data(), image.size});
  const QXMemoryArea whole{image.Data(), 512};
  uint32_t stored = 0;
  EXPECT_EQ(QXExtractCrcSumFromImage(block, &whole, 1, stored), QXSTATUS_NOT_AVAILABLE);
  EXPECT_EQ(QXVerifyImageCrc(block, &whole, 1), QXSTATUS_NOT_AVAILABLE);
}

}  // namespace
}  // namespace plendrik
