// Bounded random-input test of loading from a buffer, both image types: damaged images must be
// refused or loaded without any read outside the caller's buffer or the library's copy (the
// host build runs this under AddressSanitizer; buffers are allocated at their exact size).
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "diag/QXLog.h"
#include "image/ImageTestFiles.h"

namespace plendrik {
namespace {

using fbimg::Bytes;

// Logging every refused input would dominate the run time; errors are not the subject here.
class QuietGlobalLog {
 public:
  QuietGlobalLog() : mSaved(gLogGlobal.GetLevel()), mSavedApi(gLogDfuApi.GetLevel()) {
    gLogGlobal.SetLevel(0);
    gLogDfuApi.SetLevel(0);
  }
  ~QuietGlobalLog() {
    gLogGlobal.SetLevel(mSaved);
    gLogDfuApi.SetLevel(mSavedApi);
  }

 private:
  int32_t mSaved;
  int32_t mSavedApi;
};

Bytes Mutate(Bytes data, std::mt19937& rng) {
  const int edits = 1 + static_cast<int>(rng() % 8);
  for (int i = 0; i < edits && !data.empty(); ++i) {
    const size_t at = rng() % data.size();
    switch (rng() % 6) {
      case 0:
        data[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
        break;
      case 1:
        data[at] = static_cast<uint8_t>(rng());
        break;
      case 2: {  // an aligned 32-bit field (a size, a marker) set to an extreme
        const size_t field = at - at % 4;
        if (field + 4 <= data.size()) {
          fbimg::PutLe(data, field, (rng() % 2) != 0 ? 0xFFFFFFFFu : rng() % 256, 4);
        }
        break;
      }
      case 3:
        data.resize(at);
        break;
      case 4:  // a DFU suffix signature at the end
        if (data.size() >= 16) {
          data[data.size() - 8] = 'U';
          data[data.size() - 7] = 'F';
          data[data.size() - 6] = 'D';
          data[data.size() - 5] = static_cast<uint8_t>(rng());
        }
        break;
      default:
        data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), static_cast<uint8_t>(rng()));
        break;
    }
  }
  return data;
}

// True when the image loaded.
bool LoadAndQuery(const Bytes& input, uint32_t type) {
  // An exact-size heap copy: one byte read too far is a reported overflow.
  std::unique_ptr<uint8_t[]> exact(new uint8_t[input.size()]);
  std::memcpy(exact.get(), input.data(), input.size());
  uint32_t handle = 0;
  const QXSTATUS st = QXDFU_LoadFirmwareFromBuffer(exact.get(), input.size(), type, &handle, 0);
  if (st != QXSTATUS_SUCCESS) {
    EXPECT_EQ(handle, 0u);
    return false;
  }
  EXPECT_NE(handle, 0u);
  uint32_t value = 0;
  uint64_t size = 0;
  QXWChar text[40];
  for (uint32_t id = 1; id <= 17; ++id) {
    QXDFU_GetImagePropertyUint(handle, id, &value);
    QXDFU_GetImagePropertyString(handle, id, text, 40);
  }
  EXPECT_EQ(QXDFU_GetImagePropertyUint64(handle, QXDFU_IMAGE_PROPERTY_IMAGE_SIZE, &size), QXSTATUS_SUCCESS);
  EXPECT_LE(size, input.size());
  EXPECT_EQ(QXDFU_UnloadFirmwareImage(handle), QXSTATUS_SUCCESS);
  return true;
}

TEST(ImageFuzzTest, RandomAndDamagedBuffersNeverReadOutOfBounds) {
  QuietGlobalLog quiet;
  std::mt19937 rng(20251027);
  fbimg::QxImageSpec suffixSpec;
  suffixSpec.length = 256;
  suffixSpec.blockOffset = 0;
  // Without the CRC flag damaged blocks and items get past the CRC to the item walk.
  fbimg::QxImageSpec noCrcSpec;
  noCrcSpec.flags = 0x1E;
  noCrcSpec.items.push_back({2, 1, fbimg::Text("unterminated")});
  const Bytes seeds[] = {
      fbimg::MakeQxImage(),
      fbimg::MakeQxImage(noCrcSpec),
      fbimg::AddDfuSuffix(fbimg::MakeQxImage(suffixSpec), 0x1209, 1, 0x100),
      fbimg::AddDfuSuffix(fbimg::Filler(50), 1, 2, 3, 0x100, 3),
  };
  int inputs = 0;
  int loadedWithBlock = 0;
  for (int round = 0; round < 20000; ++round) {
    Bytes input;
    if (round % 4 == 0) {
      input = fbimg::Filler(rng() % 300, static_cast<uint32_t>(rng()));
    } else {
      input = Mutate(seeds[rng() % std::size(seeds)], rng);
    }
    if (input.empty()) {
      continue;
    }
    LoadAndQuery(input, QXDFU_IMAGE_TYPE_RAW_BINARY);
    loadedWithBlock += LoadAndQuery(input, QXDFU_IMAGE_TYPE_QX_BINARY) ? 1 : 0;
    if (HasFailure()) {
      FAIL() << "round " << round;
    }
    ++inputs;
  }
  EXPECT_GT(inputs, 15000);
  // The damaged metadata images that still load are the ones whose items were walked.
  EXPECT_GT(loadedWithBlock, 1000);
}

}  // namespace
}  // namespace plendrik
