#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>

#include "image/ImageTestFiles.h"
#include "image/QXCrc32.h"

namespace plendrik {
namespace {

TEST(QXCrc32Test, MatchesTheCatalogueCheckValues) {
  const char* check = "123456789";
  EXPECT_EQ(QXCrc32(check, 9), 0xCBF43926u);                      // CRC-32/ISO-HDLC
  EXPECT_EQ(QXCrc32Update(kQXCrc32Init, check, 9), 0x340BC6D9u);  // CRC-32/JAMCRC: the register
  EXPECT_EQ(QXCrc32(check, 0), 0u);
  EXPECT_EQ(QXCrc32Table()[1], 0x77073096u);
  EXPECT_EQ(QXCrc32Table()[255], 0x2D02EF8Du);
}

// The reference file holds zlib.crc32 of a byte pattern for many sizes, written by Python at
// build time.
TEST(QXCrc32Test, EqualsPythonZlibOnManySizes) {
  std::ifstream reference(fbimg::TestDataFolder() / "crc32_reference.txt");
  if (!reference) {
    GTEST_SKIP() << "no reference file in " << fbimg::TestDataFolder();
  }
  std::vector<uint8_t> pattern;
  size_t size = 0;
  std::string crcText;
  int lines = 0;
  while (reference >> size >> crcText) {
    while (pattern.size() < size) {
      pattern.push_back(static_cast<uint8_t>((pattern.size() * 131 + 7) & 0xFF));
    }
    EXPECT_EQ(QXCrc32(pattern.data(), size), std::stoul(crcText, nullptr, 16)) << "size " << size;
    ++lines;
  }
  EXPECT_GT(lines, 80);
}

TEST(QXCrc32Test, RunsInPiecesLikeInOneGo) {
  std::mt19937 rng(7);
  std::vector<uint8_t> data(5000);
  for (auto& b : data) {
    b = static_cast<uint8_t>(rng());
  }
  for (size_t split : {size_t{0}, size_t{1}, size_t{3}, size_t{4096}, size_t{4999}}) {
    const uint32_t r =
        QXCrc32Update(QXCrc32Update(kQXCrc32Init, data.data(), split), data.data() + split, data.size() - split);
    EXPECT_EQ(~r, fbimg::RefCrc32(data.data(), data.size())) << split;
  }
}

// Both paths read at any address; every start offset and every length around their steps (8
// bytes for the tables, 64 and 16 for the multiplication) must give the bit-wise result.
TEST(QXCrc32Test, AnyAlignmentAndLengthGivesTheBitWiseResult) {
  std::mt19937 rng(11);
  std::vector<uint8_t> data(4096 + 64);
  for (auto& b : data) {
    b = static_cast<uint8_t>(rng());
  }
  for (size_t offset = 0; offset < 8; ++offset) {
    for (size_t size :
         {size_t{1}, size_t{7}, size_t{8}, size_t{9}, size_t{15}, size_t{16}, size_t{17}, size_t{63}, size_t{64},
          size_t{65}, size_t{79}, size_t{80}, size_t{127}, size_t{128}, size_t{143}, size_t{4096}, size_t{4099}}) {
      const uint8_t* p = data.data() + offset;
      const uint32_t expected = fbimg::RefCrc32Register(0x12345678u, p, size);
      EXPECT_EQ(QXCrc32Update(0x12345678u, p, size), expected) << "offset " << offset << ", size " << size;
      EXPECT_EQ(QXCrc32UpdateTables(0x12345678u, p, size), expected) << "offset " << offset << ", size " << size;
    }
  }
}

// Prefix registers from the checkpoints equal a fresh pass, at and around every stride edge;
// another buffer, a longer prefix or a cleared set fall back to a fresh pass.
TEST(QXCrc32Test, CheckpointsGiveEveryPrefixRegister) {
  constexpr size_t kStride = QXCrc32Checkpoints::kStride;
  std::mt19937 rng(5);
  std::vector<uint8_t> data(2 * kStride + 100);
  for (auto& b : data) {
    b = static_cast<uint8_t>(rng());
  }
  QXCrc32Checkpoints checkpoints;
  const size_t covered = data.size() - 4;
  EXPECT_EQ(checkpoints.Run(data.data(), covered), QXCrc32Update(kQXCrc32Init, data.data(), covered));
  for (size_t length :
       {size_t{0}, size_t{1}, kStride - 1, kStride, kStride + 1, 2 * kStride, 2 * kStride + 3, covered}) {
    EXPECT_EQ(checkpoints.RegisterOfPrefix(data.data(), length),
              fbimg::RefCrc32Register(kQXCrc32Init, data.data(), length))
        << length;
  }
  EXPECT_EQ(checkpoints.RegisterOfPrefix(data.data(), data.size()),
            QXCrc32Update(kQXCrc32Init, data.data(), data.size()));
  EXPECT_EQ(checkpoints.RegisterOfPrefix(data.data() + 1, 100), QXCrc32Update(kQXCrc32Init, data.data() + 1, 100));
  checkpoints.Clear();
  EXPECT_EQ(checkpoints.RegisterOfPrefix(data.data(), kStride + 1),
            QXCrc32Update(kQXCrc32Init, data.data(), kStride + 1));
  // An exact multiple of the stride, and nothing at all.
  EXPECT_EQ(checkpoints.Run(data.data(), 2 * kStride), QXCrc32Update(kQXCrc32Init, data.data(), 2 * kStride));
  EXPECT_EQ(checkpoints.RegisterOfPrefix(data.data(), 2 * kStride),
            QXCrc32Update(kQXCrc32Init, data.data(), 2 * kStride));
  EXPECT_EQ(checkpoints.Run(data.data(), 0), kQXCrc32Init);
  EXPECT_EQ(checkpoints.RegisterOfPrefix(data.data(), 0), kQXCrc32Init);
}

}  // namespace
}  // namespace plendrik
