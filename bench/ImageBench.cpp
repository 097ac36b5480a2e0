// Image loading through the exported function and the CRC-32 alone, each against zlib's crc32
// over the same bytes (the floor of reading and checking an image).
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <vector>

#include "flashbridge.h"
#include "image/QXCrc32.h"

namespace {

constexpr size_t kRawImageSize = size_t{64} << 20;

const std::vector<uint8_t>& CarriedImage() {
  static const std::vector<uint8_t> bytes = [] {
    std::ifstream in(FB_FLASHTOOL_IMAGE_FILE, std::ios::binary);
    if (!in) {
      throw std::runtime_error("cannot read " FB_FLASHTOOL_IMAGE_FILE);
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }();
  return bytes;
}

// The carried image followed by a valid DFU 1.1 file suffix: the load checks two CRCs.
const std::vector<uint8_t>& CarriedImageWithSuffix() {
  static const std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> b = CarriedImage();
    const uint8_t suffix[12] = {0x00, 0x01, 0x01, 0x00, 0x09, 0x12, 0x1A, 0x01, 'U', 'F', 'D', 16};
    b.insert(b.end(), std::begin(suffix), std::end(suffix));
    // The suffix stores the CRC register without its final inversion.
    const uint32_t reg = ~static_cast<uint32_t>(crc32(0, b.data(), static_cast<uInt>(b.size())));
    for (int i = 0; i < 4; ++i) {
      b.push_back(static_cast<uint8_t>(reg >> (8 * i)));
    }
    return b;
  }();
  return bytes;
}

const std::vector<uint8_t>& RawImage() {
  static const std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> b(kRawImageSize);
    uint32_t x = 0x12345678u;
    for (auto& v : b) {
      x = x * 1664525u + 1013904223u;
      v = static_cast<uint8_t>(x >> 24);
    }
    return b;
  }();
  return bytes;
}

void LoadImage(benchmark::State& state, const std::vector<uint8_t>& bytes, uint32_t imageType) {
  for (auto _ : state) {
    uint32_t handle = 0;
    const QXSTATUS st = QXDFU_LoadFirmwareFromBuffer(bytes.data(), bytes.size(), imageType, &handle, 0);
    if (st != QXSTATUS_SUCCESS) {
      state.SkipWithError("load failed");
      break;
    }
    QXDFU_UnloadFirmwareImage(handle);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}

void ZlibCrc(benchmark::State& state, const std::vector<uint8_t>& bytes) {
  for (auto _ : state) {
    // zlib takes at most 4 GiB - 1 per call; the images here are far smaller.
    uLong c = crc32(0, bytes.data(), static_cast<uInt>(bytes.size()));
    benchmark::DoNotOptimize(c);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}

// A fresh buffer and a copy into it: what taking a private copy of the image costs at least.
void CopyIntoNewBuffer(benchmark::State& state, const std::vector<uint8_t>& bytes) {
  for (auto _ : state) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size()]);
    std::memcpy(copy.get(), bytes.data(), bytes.size());
    benchmark::DoNotOptimize(copy.get());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}

template <uint32_t (*Update)(uint32_t, const void*, size_t)>
void OwnCrc(benchmark::State& state, const std::vector<uint8_t>& bytes) {
  for (auto _ : state) {
    uint32_t c = ~Update(plendrik::kQXCrc32Init, bytes.data(), bytes.size());
    benchmark::DoNotOptimize(c);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}

void BM_LoadCarriedImage(benchmark::State& s) { LoadImage(s, CarriedImage(), QXDFU_IMAGE_TYPE_QX_BINARY); }
void BM_LoadCarriedImageWithSuffix(benchmark::State& s) {
  LoadImage(s, CarriedImageWithSuffix(), QXDFU_IMAGE_TYPE_QX_BINARY);
}
void BM_LoadRawImage64MiB(benchmark::State& s) { LoadImage(s, RawImage(), QXDFU_IMAGE_TYPE_RAW_BINARY); }
void BM_ZlibCrcCarriedImage(benchmark::State& s) { ZlibCrc(s, CarriedImage()); }
void BM_ZlibCrcCarriedImageWithSuffix(benchmark::State& s) { ZlibCrc(s, CarriedImageWithSuffix()); }
void BM_ZlibCrcRawImage64MiB(benchmark::State& s) { ZlibCrc(s, RawImage()); }
void BM_CopyRawImage64MiB(benchmark::State& s) { CopyIntoNewBuffer(s, RawImage()); }
void BM_Crc32CarriedImage(benchmark::State& s) { OwnCrc<plendrik::QXCrc32Update>(s, CarriedImage()); }
void BM_Crc32TablesCarriedImage(benchmark::State& s) { OwnCrc<plendrik::QXCrc32UpdateTables>(s, CarriedImage()); }

BENCHMARK(BM_LoadCarriedImage)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ZlibCrcCarriedImage)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LoadCarriedImageWithSuffix)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ZlibCrcCarriedImageWithSuffix)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LoadRawImage64MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibCrcRawImage64MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyRawImage64MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crc32CarriedImage)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Crc32TablesCarriedImage)->Unit(benchmark::kMicrosecond);

}  // namespace
