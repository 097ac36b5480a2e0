// The image exports as a caller sees them: loading from files and buffers, handles, property
// queries, corrupted images, DFU suffixes made by an independent tool, and the carried image.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "LibraryLoader.h"
#include "flashbridge.h"
#include "image/ImageTestFiles.h"

namespace {

using fbimg::Bytes;

using LoadFromFileFn = QXSTATUS (*)(const QXDFU_WCHAR*, uint32_t, uint32_t*, uint32_t);
using LoadFromBufferFn = QXSTATUS (*)(const void*, uint64_t, uint32_t, uint32_t*, uint32_t);
using UnloadFn = QXSTATUS (*)(uint32_t);
using GetUintFn = QXSTATUS (*)(uint32_t, uint32_t, uint32_t*);
using GetUint64Fn = QXSTATUS (*)(uint32_t, uint32_t, uint64_t*);
using GetStringFn = QXSTATUS (*)(uint32_t, uint32_t, QXDFU_WCHAR*, uint32_t);

constexpr uint32_t kRaw = QXDFU_IMAGE_TYPE_RAW_BINARY;
constexpr uint32_t kQx = QXDFU_IMAGE_TYPE_QX_BINARY;
constexpr uint32_t kNoHandle = 0xFFFFFFFFu;

std::string Narrow(const QXDFU_WCHAR* s) {
  std::string out;
  for (; *s != 0; ++s) {
    out.push_back(static_cast<char>(*s));
  }
  return out;
}

class ApiImage : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mLib.Load()) << fbtest::LibraryLoader::LibraryPath();
    mLoadFile = mLib.Resolve<LoadFromFileFn>("QXDFU_LoadFirmwareImageFromFile");
    mLoadBuffer = mLib.Resolve<LoadFromBufferFn>("QXDFU_LoadFirmwareFromBuffer");
    mUnload = mLib.Resolve<UnloadFn>("QXDFU_UnloadFirmwareImage");
    mUint = mLib.Resolve<GetUintFn>("QXDFU_GetImagePropertyUint");
    mUint64 = mLib.Resolve<GetUint64Fn>("QXDFU_GetImagePropertyUint64");
    mString = mLib.Resolve<GetStringFn>("QXDFU_GetImagePropertyString");
    ASSERT_TRUE(mLoadFile && mLoadBuffer && mUnload && mUint && mUint64 && mString);
  }

  QXSTATUS LoadBuffer(const Bytes& data, uint32_t type, uint32_t& handle) {
    handle = kNoHandle;
    return mLoadBuffer(data.data(), data.size(), type, &handle, 0);
  }
  QXSTATUS LoadFile(const std::filesystem::path& path, uint32_t type, uint32_t& handle) {
    handle = kNoHandle;
    const fbimg::WPath wide = fbimg::Wide(path);
    return mLoadFile(wide.c_str(), type, &handle, 0);
  }
  uint32_t Uint(uint32_t handle, uint32_t id) {
    uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(mUint(handle, id, &value), QXSTATUS_SUCCESS) << "property " << id;
    return value;
  }
  uint64_t Size(uint32_t handle) {
    uint64_t value = 0;
    EXPECT_EQ(mUint64(handle, QXDFU_IMAGE_PROPERTY_IMAGE_SIZE, &value), QXSTATUS_SUCCESS);
    return value;
  }
  std::string String(uint32_t handle, uint32_t id, QXSTATUS expected = QXSTATUS_SUCCESS, uint32_t maxItems = 64) {
    std::vector<QXDFU_WCHAR> buffer(maxItems + 1, 0x2A);
    EXPECT_EQ(mString(handle, id, buffer.data(), maxItems), expected) << "property " << id;
    EXPECT_EQ(buffer[maxItems], 0x2A) << "written past stringBufferMaxItems";
    return Narrow(buffer.data());
  }
  // Loads a corrupted image and expects the load to fail without a handle.
  void ExpectLoadFails(const Bytes& data, uint32_t type, QXSTATUS expected) {
    uint32_t handle = 0;
    EXPECT_EQ(LoadBuffer(data, type, handle), expected);
    EXPECT_EQ(handle, 0u);
  }

  fbtest::LibraryLoader mLib;
  LoadFromFileFn mLoadFile = nullptr;
  LoadFromBufferFn mLoadBuffer = nullptr;
  UnloadFn mUnload = nullptr;
  GetUintFn mUint = nullptr;
  GetUint64Fn mUint64 = nullptr;
  GetStringFn mString = nullptr;
};

TEST_F(ApiImage, CarriedImageVerifiesWithTheWorkedExampleProperties) {
  Bytes image;
  ASSERT_TRUE(fbimg::ReadFile(fbimg::CarriedImagePath(), image)) << fbimg::CarriedImagePath();
  ASSERT_EQ(image.size(), 1555480u);
  EXPECT_EQ(fbimg::GetLe32(image, 1555476), 0x57004E77u);
  EXPECT_EQ(fbimg::RefCrc32(image.data(), 1555476), 0x57004E77u);

  for (bool fromFile : {false, true}) {
    SCOPED_TRACE(fromFile ? "from file" : "from buffer");
    uint32_t h = 0;
    ASSERT_EQ(fromFile ? LoadFile(fbimg::CarriedImagePath(), kQx, h) : LoadBuffer(image, kQx, h), QXSTATUS_SUCCESS);
    EXPECT_NE(h, 0u);
    EXPECT_EQ(Size(h), 1555480u);
    EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_HAS_DFU_SUFFIX), 0u);
    EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_METADATA_VALUE_A), 2u);
    EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_METADATA_VALUE_B), 0u);
    EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_VERSION_1), 2u);
    EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_VERSION_2), 39u);
    EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_VERSION_3), 0u);
    EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_VERSION_4), 0u);
    EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_TARGET_ID), 0x12090001u);
    EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_METADATA_VALUE_C), 1u);
    EXPECT_EQ(String(h, QXDFU_IMAGE_PROPERTY_BUILD_DATE), "Oct 27 2025 12:06:57");
    EXPECT_EQ(String(h, QXDFU_IMAGE_PROPERTY_BUILD_KIND), "release build");
    EXPECT_EQ(mUnload(h), QXSTATUS_SUCCESS);
  }

  // As a raw image the same bytes are firmware and nothing else.
  uint32_t raw = 0;
  ASSERT_EQ(LoadBuffer(image, kRaw, raw), QXSTATUS_SUCCESS);
  EXPECT_EQ(Size(raw), 1555480u);
  uint32_t value = 7;
  EXPECT_EQ(mUint(raw, QXDFU_IMAGE_PROPERTY_VERSION_1, &value), QXSTATUS_NOT_SUPPORTED);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(String(raw, QXDFU_IMAGE_PROPERTY_BUILD_DATE, QXSTATUS_NOT_SUPPORTED), "");
  EXPECT_EQ(mUnload(raw), QXSTATUS_SUCCESS);

  // One changed byte in the covered area, and a changed stored CRC word, are both refused.
  Bytes changed = image;
  changed[1000] ^= 0x01;
  ExpectLoadFails(changed, kQx, QXSTATUS_CHECKSUM_ERROR);
  changed = image;
  changed[1555479] ^= 0x80;
  ExpectLoadFails(changed, kQx, QXSTATUS_CHECKSUM_ERROR);
  changed = image;
  changed[0x5300 + 42] = 40;  // the version inside the block is covered as well
  ExpectLoadFails(changed, kQx, QXSTATUS_CHECKSUM_ERROR);
}

TEST_F(ApiImage, HandlesAreIssuedPerImageAndRefusedOnceUnloaded) {
  const Bytes data = fbimg::Filler(100);
  uint32_t a = 0, b = 0;
  ASSERT_EQ(LoadBuffer(data, kRaw, a), QXSTATUS_SUCCESS);
  ASSERT_EQ(LoadBuffer(data, kRaw, b), QXSTATUS_SUCCESS);
  EXPECT_NE(a, 0u);
  EXPECT_NE(b, 0u);
  EXPECT_NE(a, b);

  EXPECT_EQ(mUnload(a), QXSTATUS_SUCCESS);
  EXPECT_EQ(mUnload(a), QXSTATUS_INVALID_HANDLE);
  uint32_t value = 0;
  EXPECT_EQ(mUint(a, QXDFU_IMAGE_PROPERTY_HAS_DFU_SUFFIX, &value), QXSTATUS_INVALID_HANDLE);
  // The freed slot is reused under a new handle; the old one stays refused.
  uint32_t c = 0;
  ASSERT_EQ(LoadBuffer(data, kRaw, c), QXSTATUS_SUCCESS);
  EXPECT_NE(c, a);
  EXPECT_EQ(mUint(a, QXDFU_IMAGE_PROPERTY_HAS_DFU_SUFFIX, &value), QXSTATUS_INVALID_HANDLE);
  EXPECT_EQ(mUint(c, QXDFU_IMAGE_PROPERTY_HAS_DFU_SUFFIX, &value), QXSTATUS_SUCCESS);
  // The other image is untouched by the unload.
  EXPECT_EQ(Size(b), 100u);

  // Handle 0 and a made-up handle are refused by every function that takes one.
  for (uint32_t bad : {0u, 0x7FFF0123u}) {
    uint64_t value64 = 0;
    QXDFU_WCHAR text[8];
    EXPECT_EQ(mUnload(bad), QXSTATUS_INVALID_HANDLE);
    EXPECT_EQ(mUint(bad, QXDFU_IMAGE_PROPERTY_HAS_DFU_SUFFIX, &value), QXSTATUS_INVALID_HANDLE);
    EXPECT_EQ(mUint64(bad, QXDFU_IMAGE_PROPERTY_IMAGE_SIZE, &value64), QXSTATUS_INVALID_HANDLE);
    EXPECT_EQ(mString(bad, QXDFU_IMAGE_PROPERTY_BUILD_DATE, text, 8), QXSTATUS_INVALID_HANDLE);
  }
  EXPECT_EQ(mUnload(b), QXSTATUS_SUCCESS);
  EXPECT_EQ(mUnload(c), QXSTATUS_SUCCESS);
}

TEST_F(ApiImage, ArgumentsAreCheckedAndAFailedLoadLeavesTheHandleZero) {
  const Bytes data = fbimg::Filler(64);
  uint32_t h = kNoHandle;
  EXPECT_EQ(mLoadBuffer(data.data(), data.size(), kRaw, nullptr, 0), QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(mLoadBuffer(nullptr, data.size(), kRaw, &h, 0), QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(h, 0u);
  h = kNoHandle;
  EXPECT_EQ(mLoadBuffer(data.data(), 0, kRaw, &h, 0), QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(h, 0u);
  h = kNoHandle;
  EXPECT_EQ(mLoadBuffer(data.data(), data.size(), kRaw, &h, 1), QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(h, 0u);
  for (uint32_t type : {0u, 3u, 0xFFFFFFFFu}) {
    h = kNoHandle;
    EXPECT_EQ(mLoadBuffer(data.data(), data.size(), type, &h, 0), QXSTATUS_INVALID_PARAMETER) << type;
    EXPECT_EQ(h, 0u);
  }

  fbimg::TempFolder folder;
  fbimg::WriteFile(folder.File("fw.bin"), data);
  const fbimg::WPath path = fbimg::Wide(folder.File("fw.bin"));
  h = kNoHandle;
  EXPECT_EQ(mLoadFile(nullptr, kRaw, &h, 0), QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(h, kNoHandle);  // a null out-pointer check comes first, the handle is not yet touched
  EXPECT_EQ(mLoadFile(path.c_str(), kRaw, nullptr, 0), QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(mLoadFile(path.c_str(), kRaw, &h, 2), QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(h, 0u);
  h = kNoHandle;
  EXPECT_EQ(mLoadFile(path.c_str(), 5, &h, 0), QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(h, 0u);

  // A file that does not exist reports the C run-time's error number; an empty file is invalid.
  EXPECT_EQ(LoadFile(folder.File("missing.bin"), kRaw, h), QXSTATUS_FROM_ERRNO(2));
  EXPECT_EQ(h, 0u);
  fbimg::WriteFile(folder.File("empty.bin"), Bytes());
  EXPECT_EQ(LoadFile(folder.File("empty.bin"), kRaw, h), QXSTATUS_INVALID_FILE);
  EXPECT_EQ(h, 0u);
  ASSERT_EQ(LoadFile(folder.File("fw.bin"), kRaw, h), QXSTATUS_SUCCESS);
  EXPECT_EQ(Size(h), 64u);
  EXPECT_EQ(mUnload(h), QXSTATUS_SUCCESS);
}

TEST_F(ApiImage, PropertyQueriesRefuseUnknownIdentifiersAndClearTheValue) {
  uint32_t h = 0;
  ASSERT_EQ(LoadBuffer(fbimg::MakeQxImage(), kQx, h), QXSTATUS_SUCCESS);
  uint32_t value = 0xDEADBEEF;
  for (uint32_t id : {0u, 1u, 10u, 11u, 17u, 0xFFFFFFFFu}) {
    value = 0xDEADBEEF;
    EXPECT_EQ(mUint(h, id, &value), QXSTATUS_NOT_SUPPORTED) << id;
    EXPECT_EQ(value, 0u);
  }
  uint64_t value64 = 5;
  for (uint32_t id : {0u, 2u, 12u}) {
    value64 = 5;
    EXPECT_EQ(mUint64(h, id, &value64), QXSTATUS_NOT_SUPPORTED) << id;
    EXPECT_EQ(value64, 0u);
  }
  for (uint32_t id : {1u, 2u, 12u, 0u}) {
    EXPECT_EQ(String(h, id, QXSTATUS_NOT_SUPPORTED), "") << id;
  }
  EXPECT_EQ(mUint(h, QXDFU_IMAGE_PROPERTY_VERSION_1, nullptr), QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(mUint64(h, QXDFU_IMAGE_PROPERTY_IMAGE_SIZE, nullptr), QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(mString(h, QXDFU_IMAGE_PROPERTY_BUILD_DATE, nullptr, 10), QXSTATUS_INVALID_PARAMETER);
  // Suffix properties of an image without suffix.
  EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_HAS_DFU_SUFFIX), 0u);
  for (uint32_t id = QXDFU_IMAGE_PROPERTY_SUFFIX_VENDOR_ID; id <= QXDFU_IMAGE_PROPERTY_SUFFIX_BCD_DFU; ++id) {
    value = 0xDEADBEEF;
    EXPECT_EQ(mUint(h, id, &value), QXSTATUS_NOT_SUPPORTED) << id;
    EXPECT_EQ(value, 0u);
  }
  // Every metadata value comes from its own field.
  EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_METADATA_VALUE_A), 2u);
  EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_METADATA_VALUE_B), 7u);
  EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_VERSION_3), 5u);
  EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_VERSION_4), 6u);
  EXPECT_EQ(mUnload(h), QXSTATUS_SUCCESS);
}

TEST_F(ApiImage, StringPropertiesAreTruncatedToTheBufferAndAlwaysTerminated) {
  uint32_t h = 0;
  ASSERT_EQ(LoadBuffer(fbimg::MakeQxImage(), kQx, h), QXSTATUS_SUCCESS);
  const std::string kind = "release build";  // 13 characters
  const auto n = static_cast<uint32_t>(kind.size());
  EXPECT_EQ(String(h, QXDFU_IMAGE_PROPERTY_BUILD_KIND, QXSTATUS_BUFFER_TOO_SMALL, 2), "r");
  EXPECT_EQ(String(h, QXDFU_IMAGE_PROPERTY_BUILD_KIND, QXSTATUS_BUFFER_TOO_SMALL, n), kind.substr(0, n - 1));
  EXPECT_EQ(String(h, QXDFU_IMAGE_PROPERTY_BUILD_KIND, QXSTATUS_SUCCESS, n + 1), kind);
  // Below two units nothing is written at all.
  QXDFU_WCHAR one[1] = {0x2A};
  EXPECT_EQ(mString(h, QXDFU_IMAGE_PROPERTY_BUILD_KIND, one, 1), QXSTATUS_INVALID_SIZE);
  EXPECT_EQ(one[0], 0x2A);
  EXPECT_EQ(mString(h, QXDFU_IMAGE_PROPERTY_BUILD_KIND, one, 0), QXSTATUS_INVALID_SIZE);
  EXPECT_EQ(mUnload(h), QXSTATUS_SUCCESS);
}

TEST_F(ApiImage, CorruptedMetadataImagesAreRefused) {
  using fbimg::MakeQxImage;
  using fbimg::QxImageSpec;
  QxImageSpec spec;
  // Data shorter than a block header.
  ExpectLoadFails(fbimg::Filler(59), kQx, QXSTATUS_INVALID_FILE);
  ExpectLoadFails(fbimg::Filler(512), kQx, QXSTATUS_INVALID_FILE);
  // A block at an offset that is not a multiple of 4 is not found.
  spec.blockOffset = 66;
  ExpectLoadFails(MakeQxImage(spec), kQx, QXSTATUS_INVALID_FILE);
  // paddingSize 2 puts the CRC word off its alignment.
  spec = QxImageSpec();
  spec.paddingSize = 2;
  spec.imageSize = 504;
  ExpectLoadFails(MakeQxImage(spec), kQx, QXSTATUS_INVALID_LENGTH);
  // The CRC word at or beyond the end of the data.
  spec = QxImageSpec();
  spec.imageSize = 512;
  ExpectLoadFails(MakeQxImage(spec), kQx, QXSTATUS_FAILED);
  spec.imageSize = 0xFFFFFFFFFFFFFFFCull;  // a sum that wraps must not come out small
  ExpectLoadFails(MakeQxImage(spec), kQx, QXSTATUS_FAILED);
  // imageSize below 64.
  spec = QxImageSpec();
  spec.imageSize = 60;
  spec.paddingSize = 448;
  ExpectLoadFails(MakeQxImage(spec), kQx, QXSTATUS_INVALID_SIZE);
  // Data whose length is not a multiple of 4 cannot hold an aligned CRC area.
  spec = QxImageSpec();
  spec.length = 514;
  spec.imageSize = 508;
  ExpectLoadFails(MakeQxImage(spec), kQx, QXSTATUS_INVALID_SIZE);

  // A block that runs past the end of the data hides a sound block behind it.
  Bytes image = MakeQxImage();
  const Bytes late = MakeQxImage();
  fbimg::PutLe(image, 64 + 24, 512, 4);  // first block: totalSize beyond the data
  std::copy(late.begin() + 64, late.begin() + 64 + 192, image.begin() + 256);
  fbimg::StoreCrc(image, 256);
  ExpectLoadFails(image, kQx, QXSTATUS_INVALID_FILE);

  // Without bit 0 of flags no CRC is checked, whatever the image holds.
  spec = QxImageSpec();
  spec.flags = 0x1E;
  image = MakeQxImage(spec);
  image[10] ^= 0xFF;
  image[508] ^= 0xFF;
  uint32_t h = 0;
  ASSERT_EQ(LoadBuffer(image, kQx, h), QXSTATUS_SUCCESS);
  EXPECT_EQ(String(h, QXDFU_IMAGE_PROPERTY_BUILD_DATE), "Oct 27 2025 12:06:57");
  EXPECT_EQ(mUnload(h), QXSTATUS_SUCCESS);
}

TEST_F(ApiImage, StringItemsThatAreMissingOfAnotherTypeOrUnterminated) {
  fbimg::QxImageSpec spec;
  spec.items = {{2, 1, fbimg::Text("debug")}, {1, 3, {1, 2, 3, 4}}};
  uint32_t h = 0;
  ASSERT_EQ(LoadBuffer(fbimg::MakeQxImage(spec), kQx, h), QXSTATUS_SUCCESS);
  EXPECT_EQ(String(h, QXDFU_IMAGE_PROPERTY_BUILD_DATE, QXSTATUS_INVALID_TYPE), "");
  // No NUL in the item: the string ends with the item's data.
  EXPECT_EQ(String(h, QXDFU_IMAGE_PROPERTY_BUILD_KIND), "debug");
  EXPECT_EQ(mUnload(h), QXSTATUS_SUCCESS);

  spec.items = {{2, 1, fbimg::Text("x", 4)}};
  ASSERT_EQ(LoadBuffer(fbimg::MakeQxImage(spec), kQx, h), QXSTATUS_SUCCESS);
  EXPECT_EQ(String(h, QXDFU_IMAGE_PROPERTY_BUILD_DATE, QXSTATUS_OBJECT_NOT_FOUND), "");
  EXPECT_EQ(String(h, QXDFU_IMAGE_PROPERTY_BUILD_KIND), "x");
  EXPECT_EQ(mUnload(h), QXSTATUS_SUCCESS);

  // An item that holds only NULs gives an empty string.
  spec.items = {{1, 1, Bytes(8, 0)}};
  ASSERT_EQ(LoadBuffer(fbimg::MakeQxImage(spec), kQx, h), QXSTATUS_SUCCESS);
  EXPECT_EQ(String(h, QXDFU_IMAGE_PROPERTY_BUILD_DATE), "");
  EXPECT_EQ(mUnload(h), QXSTATUS_SUCCESS);
}

TEST_F(ApiImage, DfuSuffixIsRecognisedCutAndChecked) {
  const Bytes firmware = fbimg::Filler(300);
  uint32_t h = 0;
  // Fewer than 16 bytes: firmware, no suffix.
  ASSERT_EQ(LoadBuffer(fbimg::Filler(15), kRaw, h), QXSTATUS_SUCCESS);
  EXPECT_EQ(Size(h), 15u);
  EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_HAS_DFU_SUFFIX), 0u);
  EXPECT_EQ(mUnload(h), QXSTATUS_SUCCESS);

  const Bytes suffixed = fbimg::AddDfuSuffix(firmware, 0x1209, 0x0001, 0x0102, 0x011A);
  ASSERT_EQ(LoadBuffer(suffixed, kRaw, h), QXSTATUS_SUCCESS);
  EXPECT_EQ(Size(h), 300u);
  EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_HAS_DFU_SUFFIX), 1u);
  EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_SUFFIX_VENDOR_ID), 0x1209u);
  EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_SUFFIX_PRODUCT_ID), 0x0001u);
  EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_SUFFIX_BCD_DEVICE), 0x0102u);
  EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_SUFFIX_BCD_DFU), 0x011Au);
  EXPECT_EQ(mUnload(h), QXSTATUS_SUCCESS);

  // A longer suffix is cut whole.
  ASSERT_EQ(LoadBuffer(fbimg::AddDfuSuffix(firmware, 1, 2, 3, 0x0100, 4), kRaw, h), QXSTATUS_SUCCESS);
  EXPECT_EQ(Size(h), 300u);
  EXPECT_EQ(mUnload(h), QXSTATUS_SUCCESS);

  // One changed firmware byte, or a wrong dwCRC: the load fails.
  Bytes bad = suffixed;
  bad[17] ^= 0x10;
  ExpectLoadFails(bad, kRaw, QXSTATUS_CHECKSUM_ERROR);
  bad = suffixed;
  bad[bad.size() - 1] ^= 0x01;
  ExpectLoadFails(bad, kRaw, QXSTATUS_CHECKSUM_ERROR);
  ExpectLoadFails(bad, kQx, QXSTATUS_CHECKSUM_ERROR);

  // bLength below 16 or beyond the data: the signature is just firmware.
  for (uint8_t bLength : {uint8_t{15}, uint8_t{0}}) {
    bad = suffixed;
    bad[bad.size() - 5] = bLength;
    ASSERT_EQ(LoadBuffer(bad, kRaw, h), QXSTATUS_SUCCESS);
    EXPECT_EQ(Size(h), bad.size());
    EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_HAS_DFU_SUFFIX), 0u);
    uint32_t value = 0;
    EXPECT_EQ(mUint(h, QXDFU_IMAGE_PROPERTY_SUFFIX_VENDOR_ID, &value), QXSTATUS_NOT_SUPPORTED);
    EXPECT_EQ(mUnload(h), QXSTATUS_SUCCESS);
  }
  // Exactly 16 bytes, a sound suffix and no firmware: refused, as an empty file is.
  const Bytes tiny = fbimg::AddDfuSuffix(Bytes{}, 1, 2, 3);
  EXPECT_EQ(LoadBuffer(tiny, kRaw, h), QXSTATUS_INVALID_FILE);
  EXPECT_EQ(h, 0u);
  bad = tiny;
  bad[11] = 17;
  ASSERT_EQ(LoadBuffer(bad, kRaw, h), QXSTATUS_SUCCESS);
  EXPECT_EQ(Size(h), 16u);
  EXPECT_EQ(mUnload(h), QXSTATUS_SUCCESS);
}

// Files with a suffix added by Debian's dfu-suffix, generated at build time when the tool exists.
TEST_F(ApiImage, FilesSuffixedByDfuSuffixLoadWithTheirProperties) {
  std::ifstream listing(fbimg::TestDataFolder() / "dfu_suffix_files.txt");
  if (!listing) {
    GTEST_SKIP() << "dfu-suffix was not available at build time";
  }
  std::string line;
  int files = 0;
  while (std::getline(listing, line)) {
    std::istringstream fields(line);
    std::string name;
    uint32_t vid = 0, pid = 0, did = 0, spec = 0;
    uint64_t firmwareBytes = 0;
    ASSERT_TRUE(fields >> name >> vid >> pid >> did >> spec >> firmwareBytes) << line;
    SCOPED_TRACE(name);
    const auto path = fbimg::TestDataFolder() / name;
    const bool carried = name == "suffix_carried.dfu";
    uint32_t h = 0;
    ASSERT_EQ(LoadFile(path, carried ? kQx : kRaw, h), QXSTATUS_SUCCESS);
    EXPECT_EQ(Size(h), firmwareBytes);
    EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_HAS_DFU_SUFFIX), 1u);
    EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_SUFFIX_VENDOR_ID), vid);
    EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_SUFFIX_PRODUCT_ID), pid);
    EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_SUFFIX_BCD_DEVICE), did);
    EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_SUFFIX_BCD_DFU), spec);
    if (carried) {
      EXPECT_EQ(Uint(h, QXDFU_IMAGE_PROPERTY_VERSION_2), 39u);
    }
    EXPECT_EQ(mUnload(h), QXSTATUS_SUCCESS);

    // The same bytes with a damaged suffix CRC.
    Bytes bytes;
    ASSERT_TRUE(fbimg::ReadFile(path, bytes));
    bytes[bytes.size() - 2] ^= 0x40;
    ExpectLoadFails(bytes, carried ? kQx : kRaw, QXSTATUS_CHECKSUM_ERROR);
    ++files;
  }
  EXPECT_GE(files, 4);
}

}  // namespace
