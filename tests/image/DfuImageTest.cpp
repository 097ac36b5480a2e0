#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "api/DfuApi.h"
#include "image/DfuImage.h"
#include "image/DfuImageQxBinary.h"
#include "image/ImageTestFiles.h"
#include "support/TempDir.h"
#include "support/TestLogTarget.h"

// windows.h (through the test helpers) renames GetObject to GetObjectW.
#undef GetObject

namespace plendrik {
namespace {

using fbimg::Bytes;

QXIntrusiveSharedPtrT<DfuImage> Load(const Bytes& data, uint32_t type, QXSTATUS expected = QXSTATUS_SUCCESS) {
  auto image = QXMakeShared<DfuImage>();
  EXPECT_EQ(image->LoadFirmwareFromBuffer(QXConstBuffer(data.data(), data.size()), type, 0), expected);
  return image;
}

TEST(DfuImageTest, ReadsStopAtTheSuffixAndAtTheEnd) {
  const Bytes firmware = fbimg::Filler(40);
  auto image = Load(fbimg::AddDfuSuffix(firmware, 0x1209, 1, 0x100), QXDFU_IMAGE_TYPE_RAW_BINARY);
  DfuImageBase* base = image->GetImplementation();
  ASSERT_NE(base, nullptr);
  EXPECT_EQ(base->GetImageDataSize(), 40u);

  uint8_t buffer[64];
  std::memset(buffer, 0xA5, sizeof(buffer));
  uint64_t bytesRead = 99;
  // The last firmware byte (byte count - 17) alone.
  ASSERT_EQ(base->ReadFromImage(QXMutableBuffer(buffer, sizeof(buffer)), 39, bytesRead), QXSTATUS_SUCCESS);
  EXPECT_EQ(bytesRead, 1u);
  EXPECT_EQ(buffer[0], firmware[39]);
  EXPECT_EQ(buffer[1], 0xA5);
  // A small buffer bounds the copy.
  ASSERT_EQ(base->ReadFromImage(QXMutableBuffer(buffer, 8), 10, bytesRead), QXSTATUS_SUCCESS);
  EXPECT_EQ(bytesRead, 8u);
  EXPECT_EQ(0, std::memcmp(buffer, firmware.data() + 10, 8));
  // At and beyond the end: refused, nothing read.
  bytesRead = 99;
  EXPECT_EQ(base->ReadFromImage(QXMutableBuffer(buffer, 8), 40, bytesRead), QXSTATUS_PARAMETER_REJECTED);
  EXPECT_EQ(bytesRead, 0u);
  EXPECT_EQ(base->ReadFromImage(QXMutableBuffer(buffer, 8), UINT64_MAX, bytesRead), QXSTATUS_PARAMETER_REJECTED);
  // The whole firmware in one read.
  ASSERT_EQ(base->ReadFromImage(QXMutableBuffer(buffer, sizeof(buffer)), 0, bytesRead), QXSTATUS_SUCCESS);
  EXPECT_EQ(bytesRead, 40u);
  EXPECT_EQ(0, std::memcmp(buffer, firmware.data(), 40));
}

TEST(DfuImageTest, LoadsCopyTheCallersBytes) {
  Bytes data = fbimg::Filler(100);
  const Bytes original = data;
  auto image = Load(data, QXDFU_IMAGE_TYPE_RAW_BINARY);
  std::fill(data.begin(), data.end(), 0);
  uint8_t buffer[100];
  uint64_t bytesRead = 0;
  ASSERT_EQ(image->GetImplementation()->ReadFromImage(QXMutableBuffer(buffer, 100), 0, bytesRead), QXSTATUS_SUCCESS);
  EXPECT_EQ(0, std::memcmp(buffer, original.data(), 100));
}

TEST(DfuImageTest, FailedVerificationLeavesNoDataBehind) {
  Bytes data = fbimg::MakeQxImage();
  data[5] ^= 1;
  auto image = Load(data, QXDFU_IMAGE_TYPE_QX_BINARY, QXSTATUS_CHECKSUM_ERROR);
  auto* qx = static_cast<DfuImageQxBinary*>(image->GetImplementation());
  ASSERT_NE(qx, nullptr);
  EXPECT_EQ(qx->GetData(), nullptr);
  EXPECT_EQ(qx->GetByteCount(), 0u);
  EXPECT_EQ(qx->GetImageDataSize(), 0u);
  EXPECT_EQ(qx->GetMetadataBlock(), nullptr);
  uint32_t value = 0;
  EXPECT_EQ(qx->GetImagePropertyUint(QXDFU_IMAGE_PROPERTY_VERSION_1, value), QXSTATUS_NOT_POSSIBLE);
  uint8_t buffer[4];
  uint64_t bytesRead = 0;
  EXPECT_EQ(qx->ReadFromImage(QXMutableBuffer(buffer, 4), 0, bytesRead), QXSTATUS_NOT_POSSIBLE);
  EXPECT_EQ(image->GetImageType(), 0u);
}

// A valid suffix with nothing before it would be downloaded as an empty firmware.
TEST(DfuImageTest, ASuffixWithoutFirmwareIsAnInvalidFile) {
  TestLogTarget capture(gLogGlobal, kQXLogLevelAll);
  for (uint8_t extra : {uint8_t{0}, uint8_t{4}}) {
    const Bytes onlySuffix = fbimg::AddDfuSuffix(Bytes{}, 0x1209, 1, 0x100, 0x0100, extra);
    ASSERT_EQ(onlySuffix.size(), 16u + extra);
    for (uint32_t type : {QXDFU_IMAGE_TYPE_RAW_BINARY, QXDFU_IMAGE_TYPE_QX_BINARY}) {
      auto image = Load(onlySuffix, type, QXSTATUS_INVALID_FILE);
      ASSERT_NE(image->GetImplementation(), nullptr);
      EXPECT_EQ(image->GetImplementation()->GetByteCount(), 0u);
      EXPECT_EQ(image->GetImageType(), 0u);
    }
    fbtest::TempDir dir;
    fbtest::WriteFileBytes(dir.File("suffix.dfu"), std::string(onlySuffix.begin(), onlySuffix.end()));
    auto fromFile = QXMakeShared<DfuImage>();
    EXPECT_EQ(fromFile->LoadFirmwareImageFromFile(fbtest::ToQXWString(dir.File("suffix.dfu")).c_str(),
                                                  QXDFU_IMAGE_TYPE_RAW_BINARY, 0),
              QXSTATUS_INVALID_FILE);
  }
  EXPECT_TRUE(capture.Contains("DFU file suffix of 16 bytes leaves no firmware data", kQXLogLevelError));
  EXPECT_TRUE(capture.Contains("DFU file suffix of 20 bytes leaves no firmware data", kQXLogLevelError));

  // One firmware byte is enough.
  auto one = Load(fbimg::AddDfuSuffix(Bytes{0x42}, 0x1209, 1, 0x100), QXDFU_IMAGE_TYPE_RAW_BINARY);
  EXPECT_EQ(one->GetImplementation()->GetImageDataSize(), 1u);
}

TEST(DfuImageTest, MismatchesAreLoggedAsTheStandardCrc) {
  TestLogTarget capture(gLogGlobal, kQXLogLevelAll);
  Bytes suffixed = fbimg::AddDfuSuffix(fbimg::Filler(32), 1, 2, 3);
  const uint32_t stored = fbimg::GetLe32(suffixed, suffixed.size() - 4);
  suffixed[0] ^= 0xFF;
  Load(suffixed, QXDFU_IMAGE_TYPE_RAW_BINARY, QXSTATUS_CHECKSUM_ERROR);
  const uint32_t computed = fbimg::RefCrc32(suffixed.data(), suffixed.size() - 4);
  char expected[80];
  std::snprintf(expected, sizeof(expected), "crcSUM=0x%x != dwCRC=0x%x", computed, ~stored);
  EXPECT_TRUE(capture.Contains(expected)) << expected;
  EXPECT_TRUE(capture.Contains("LookForDfuFileSuffix failed, st=0xee000069(QXSTATUS_CHECKSUM_ERROR)"));

  Bytes image = fbimg::MakeQxImage();
  image[508] ^= 0x01;
  Load(image, QXDFU_IMAGE_TYPE_QX_BINARY, QXSTATUS_CHECKSUM_ERROR);
  std::snprintf(expected, sizeof(expected), "crcSUM=0x%x != crcIMG=0x%x", fbimg::RefCrc32(image.data(), 508),
                fbimg::GetLe32(image, 508));
  EXPECT_TRUE(capture.Contains(expected)) << expected;
  EXPECT_TRUE(capture.Contains("plendrik::DfuImageQxBinary::LoadFirmwareFromBuffer: VerifyImage failed, st="));
}

// A large image with a DFU suffix: the image CRC reuses the suffix check's pass, and still
// tells a good image from one whose covered bytes or stored CRC differ.
TEST(DfuImageTest, ALargeImageWithSuffixChecksBothCrcs) {
  fbimg::QxImageSpec spec;
  spec.length = 200000;
  const Bytes image = fbimg::MakeQxImage(spec);
  auto good = Load(fbimg::AddDfuSuffix(image, 0x1209, 1, 0x100), QXDFU_IMAGE_TYPE_QX_BINARY);
  EXPECT_EQ(good->GetImplementation()->GetImageDataSize(), image.size());

  TestLogTarget capture(gLogGlobal, kQXLogLevelAll);
  for (size_t at : {size_t{70000}, spec.length - 4}) {
    Bytes bad = image;
    bad[at] ^= 0x10;
    Load(fbimg::AddDfuSuffix(bad, 0x1209, 1, 0x100), QXDFU_IMAGE_TYPE_QX_BINARY, QXSTATUS_CHECKSUM_ERROR);
    char expected[80];
    std::snprintf(expected, sizeof(expected), "crcSUM=0x%x != crcIMG=0x%x",
                  fbimg::RefCrc32(bad.data(), spec.length - 4), fbimg::GetLe32(bad, spec.length - 4));
    EXPECT_TRUE(capture.Contains(expected)) << expected;
  }
}

TEST(DfuImageTest, StringTruncationIsWarned) {
  TestLogTarget capture(gLogGlobal, kQXLogLevelAll);
  auto image = Load(fbimg::MakeQxImage(), QXDFU_IMAGE_TYPE_QX_BINARY);
  QXWChar text[5];
  EXPECT_EQ(image->GetImagePropertyString(QXDFU_IMAGE_PROPERTY_BUILD_KIND, text, 5), QXSTATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(QXWString(text), QXW("rele"));
  EXPECT_TRUE(capture.Contains("stringBufferMaxItems=5 too small for 13, string was truncated"));
}

TEST(DfuImageTest, InvalidUtf8InAStringItemIsAConversionFailure) {
  fbimg::QxImageSpec spec;
  spec.items = {{1, 1, {'O', 0xC3, 0x28, 'k', 0}}, {2, 1, fbimg::Text("gr\xC3\xBC\xC3\x9F", 8)}};
  auto image = Load(fbimg::MakeQxImage(spec), QXDFU_IMAGE_TYPE_QX_BINARY);
  QXWChar text[16];
  EXPECT_EQ(image->GetImagePropertyString(QXDFU_IMAGE_PROPERTY_BUILD_DATE, text, 16), QXSTATUS_CONVERSION_FAILED);
  EXPECT_EQ(text[0], 0);
  ASSERT_EQ(image->GetImagePropertyString(QXDFU_IMAGE_PROPERTY_BUILD_KIND, text, 16), QXSTATUS_SUCCESS);
  EXPECT_EQ(QXWString(text), QXW("gr\u00FC\u00DF"));
}

// The image table's reference and a second one, as a running upgrade holds it.
TEST(DfuImageTest, UnloadWhileReferencedKeepsTheImageUntilTheLastReference) {
  const Bytes data = fbimg::Filler(64);
  uint32_t handle = 0;
  ASSERT_EQ(QXDFU_LoadFirmwareFromBuffer(data.data(), data.size(), QXDFU_IMAGE_TYPE_RAW_BINARY, &handle, 0),
            QXSTATUS_SUCCESS);
  QXIntrusiveSharedPtrT<DfuImage> held = gDfuApi.mImages.GetObject(handle);
  ASSERT_TRUE(held);
  EXPECT_EQ(held->GetRefCount(), 2u);
  EXPECT_EQ(QXDFU_UnloadFirmwareImage(handle), QXSTATUS_SUCCESS);
  EXPECT_FALSE(gDfuApi.mImages.GetObject(handle));
  EXPECT_EQ(held->GetRefCount(), 1u);
  uint8_t buffer[64];
  uint64_t bytesRead = 0;
  ASSERT_EQ(held->GetImplementation()->ReadFromImage(QXMutableBuffer(buffer, 64), 0, bytesRead), QXSTATUS_SUCCESS);
  EXPECT_EQ(bytesRead, 64u);
  EXPECT_EQ(0, std::memcmp(buffer, data.data(), 64));
  uint32_t value = 0;
  EXPECT_EQ(QXDFU_GetImagePropertyUint(handle, QXDFU_IMAGE_PROPERTY_HAS_DFU_SUFFIX, &value), QXSTATUS_INVALID_HANDLE);
}

TEST(DfuImageTest, AFullImageTableRefusesTheLoadAndIssuesNoHandle) {
  TestLogTarget capture(gLogGlobal, kQXLogLevelAll);
  auto filler = QXMakeShared<DfuImage>();
  std::vector<uint32_t> taken;
  for (uint32_t h; (h = gDfuApi.mImages.AddObject(filler)) != 0;) {
    taken.push_back(h);
  }
  const Bytes data = fbimg::Filler(32);
  uint32_t handle = 77;
  EXPECT_EQ(QXDFU_LoadFirmwareFromBuffer(data.data(), data.size(), QXDFU_IMAGE_TYPE_RAW_BINARY, &handle, 0),
            QXSTATUS_NO_RESOURCES);
  EXPECT_EQ(handle, 0u);
  EXPECT_TRUE(capture.Contains("AddObject failed"));
  for (uint32_t h : taken) {
    gDfuApi.mImages.RemoveObject(h);
  }
  EXPECT_EQ(filler->GetRefCount(), 1u);
  ASSERT_EQ(QXDFU_LoadFirmwareFromBuffer(data.data(), data.size(), QXDFU_IMAGE_TYPE_RAW_BINARY, &handle, 0),
            QXSTATUS_SUCCESS);
  EXPECT_EQ(QXDFU_UnloadFirmwareImage(handle), QXSTATUS_SUCCESS);
}

// A 32-bit size would turn a file of 4 GiB + 16 bytes into 16 bytes; such files are refused,
// as is everything from 2 GiB on. The files are sparse: no disk space is used.
TEST(DfuImageTest, FilesOfTwoGibibytesAndMoreAreRefused) {
  fbimg::TempFolder folder;
  for (uint64_t size : {uint64_t{1} << 31, (uint64_t{1} << 32) + 16}) {
    const auto path = folder.File("big.bin");
    {
      std::ofstream create(path, std::ios::binary);
      create.put('x');
    }
    std::error_code ec;
    std::filesystem::resize_file(path, size, ec);
    if (ec) {
      GTEST_SKIP() << "cannot create a file of " << size << " bytes: " << ec.message();
    }
    auto image = QXMakeShared<DfuImage>();
    const fbimg::WPath wide = fbimg::Wide(path);
    EXPECT_EQ(image->LoadFirmwareImageFromFile(wide.c_str(), QXDFU_IMAGE_TYPE_RAW_BINARY, 0),
              QXSTATUS_FROM_ERRNO(EOVERFLOW))
        << size;
    EXPECT_EQ(image->GetImplementation()->GetByteCount(), 0u);
    std::filesystem::remove(path, ec);
  }
  // Small files still load.
  const auto small = folder.File("one.bin");
  fbimg::WriteFile(small, Bytes{0x42});
  auto image = QXMakeShared<DfuImage>();
  const fbimg::WPath wide = fbimg::Wide(small);
  EXPECT_EQ(image->LoadFirmwareImageFromFile(wide.c_str(), QXDFU_IMAGE_TYPE_RAW_BINARY, 0), QXSTATUS_SUCCESS);
  EXPECT_EQ(image->GetImplementation()->GetImageDataSize(), 1u);
}

}  // namespace
}  // namespace plendrik
