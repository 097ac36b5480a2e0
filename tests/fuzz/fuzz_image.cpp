// Firmware images from a buffer, both types: the suffix, the metadata block and its items, the
// CRC areas. Whatever loads must answer every property call within its buffers, and a refused
// image must leave no handle.
#include <cstdint>
#include <cstring>
#include <memory>

#include "flashbridge.h"
#include "fuzz/FuzzSupport.h"
#include "os/QXOsTypes.h"

namespace {

using namespace plendrik;

void LoadAndQuery(const uint8_t* data, size_t size, uint32_t type) {
  uint32_t handle = 0;
  const QXSTATUS st = QXDFU_LoadFirmwareFromBuffer(data, size, type, &handle, 0);
  if (st != QXSTATUS_SUCCESS) {
    FB_FUZZ_CHECK(handle == 0);
    return;
  }
  FB_FUZZ_CHECK(handle != 0);
  uint64_t imageSize = 0;
  FB_FUZZ_CHECK(QXDFU_GetImagePropertyUint64(handle, QXDFU_IMAGE_PROPERTY_IMAGE_SIZE, &imageSize) == QXSTATUS_SUCCESS);
  FB_FUZZ_CHECK(imageSize <= size);
  uint32_t hasSuffix = 0;
  if (QXDFU_GetImagePropertyUint(handle, QXDFU_IMAGE_PROPERTY_HAS_DFU_SUFFIX, &hasSuffix) == QXSTATUS_SUCCESS &&
      hasSuffix != 0) {
    FB_FUZZ_CHECK(size >= 16 && imageSize <= size - 16);
  }
  for (uint32_t id = 0; id <= 17; ++id) {
    uint32_t value = 0;
    uint64_t value64 = 0;
    QXDFU_GetImagePropertyUint(handle, id, &value);
    QXDFU_GetImagePropertyUint64(handle, id, &value64);
    // Exact-size heap buffers: a unit written past the capacity is reported.
    for (uint32_t capacity : {1u, 7u, 64u}) {
      std::unique_ptr<QXDFU_WCHAR[]> text(new QXDFU_WCHAR[capacity]);
      if (QXDFU_GetImagePropertyString(handle, id, text.get(), capacity) == QXSTATUS_SUCCESS) {
        bool terminated = false;
        for (uint32_t i = 0; i < capacity && !terminated; ++i) {
          terminated = text[i] == 0;
        }
        FB_FUZZ_CHECK(terminated);
      }
    }
  }
  FB_FUZZ_CHECK(QXDFU_UnloadFirmwareImage(handle) == QXSTATUS_SUCCESS);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  plendrik::fuzz::SilenceLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy: libFuzzer's own buffer may have slack behind it.
  std::unique_ptr<uint8_t[]> exact(new uint8_t[size == 0 ? 1 : size]);
  if (size != 0) {
    std::memcpy(exact.get(), data, size);
  }
  LoadAndQuery(exact.get(), size, QXDFU_IMAGE_TYPE_RAW_BINARY);
  LoadAndQuery(exact.get(), size, QXDFU_IMAGE_TYPE_QX_BINARY);
  return 0;
}
