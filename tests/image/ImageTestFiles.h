// Test helpers for firmware images: an independent bitwise CRC-32, a builder for small images
// of type 2 and for DFU suffixes, the generated reference files beside the test programs, and
// temporary files. Used by the unit tests and by the tests of the exported functions.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <limits.h>
#include <unistd.h>
#endif

#include "flashbridge.h"

namespace fbimg {

using Bytes = std::vector<uint8_t>;
using WPath = std::basic_string<QXDFU_WCHAR>;

// Bit by bit, no table: a second implementation to compare the library's with.
inline uint32_t RefCrc32Register(uint32_t r, const uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    r ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      r = (r & 1u) != 0 ? (r >> 1) ^ 0xEDB88320u : r >> 1;
    }
  }
  return r;
}
inline uint32_t RefCrc32(const uint8_t* data, size_t size) { return ~RefCrc32Register(0xFFFFFFFFu, data, size); }

inline void PutLe(Bytes& b, size_t at, uint64_t value, int size) {
  for (int i = 0; i < size; ++i) {
    b[at + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}
inline uint32_t GetLe32(const Bytes& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

struct QxItem {
  uint16_t itemId;
  uint16_t itemType;
  Bytes data;
};

inline Bytes Text(const std::string& s, size_t padTo = 0) {
  Bytes b(s.begin(), s.end());
  while (b.size() < padTo) {
    b.push_back(0);
  }
  return b;
}

inline std::vector<QxItem> DefaultItems() {
  return {
      {1, 1, Text("Oct 27 2025 12:06:57", 24)}, {2, 1, Text("release build", 16)}, {10, 3, {0x59, 0x60, 0x01, 0x00}}};
}

// A small image of type 2: filler, a block at blockOffset, the CRC word at imageSize + paddingSize.
struct QxImageSpec {
  size_t length = 512;
  size_t blockOffset = 64;
  uint8_t flags = 0x1F;
  uint16_t paddingSize = 0;
  uint64_t imageSize = 0;  // 0: everything before the CRC word at the end
  uint32_t targetId = 0x12090001;
  std::vector<QxItem> items = DefaultItems();
};

inline Bytes Filler(size_t length, uint32_t seed = 1) {
  Bytes b(length);
  uint32_t s = seed;
  for (auto& x : b) {
    s = s * 1103515245u + 12345u;
    x = static_cast<uint8_t>(s >> 16);
  }
  return b;
}

inline Bytes BlockBytes(const QxImageSpec& spec, uint64_t imageSize) {
  size_t total = 60;
  for (const QxItem& item : spec.items) {
    total += 16 + item.data.size();
  }
  // Sized once and written in place.
  Bytes b(total, 0);
  size_t at = 60;
  for (const QxItem& item : spec.items) {
    PutLe(b, at + 0, 16, 2);
    PutLe(b, at + 2, 1, 2);
    PutLe(b, at + 4, 0xE2BEADDE, 4);
    PutLe(b, at + 8, 16 + item.data.size(), 4);
    PutLe(b, at + 12, item.itemId, 2);
    PutLe(b, at + 14, item.itemType, 2);
    std::copy(item.data.begin(), item.data.end(), b.begin() + static_cast<std::ptrdiff_t>(at + 16));
    at += 16 + item.data.size();
  }
  PutLe(b, 0, 60, 2);
  PutLe(b, 2, 1, 2);
  PutLe(b, 4, 0xE1BEADDE, 4);
  std::memcpy(&b[8], "QX#IMG#METADATA#", 16);
  PutLe(b, 24, total, 4);
  b[28] = spec.flags;
  b[30] = 2;
  b[31] = 7;
  PutLe(b, 32, spec.targetId, 4);
  PutLe(b, 36, 1, 4);
  PutLe(b, 40, 2, 2);
  PutLe(b, 42, 39, 2);
  PutLe(b, 44, 5, 2);
  PutLe(b, 46, 6, 2);
  PutLe(b, 48, imageSize, 8);
  PutLe(b, 56, spec.paddingSize, 2);
  PutLe(b, 58, 4, 2);
  return b;
}

// Stores the CRC of the covered area that the block at blockOffset describes.
inline void StoreCrc(Bytes& image, size_t blockOffset) {
  uint64_t imageSize = 0;
  for (int i = 0; i < 8; ++i) {
    imageSize |= static_cast<uint64_t>(image[blockOffset + 48 + i]) << (8 * i);
  }
  const size_t padding = image[blockOffset + 56] | (image[blockOffset + 57] << 8);
  PutLe(image, imageSize + padding, RefCrc32(image.data(), imageSize), 4);
}

inline Bytes MakeQxImage(const QxImageSpec& spec = QxImageSpec()) {
  Bytes image = Filler(spec.length, static_cast<uint32_t>(spec.length));
  const uint64_t imageSize = spec.imageSize != 0 ? spec.imageSize : spec.length - 4 - spec.paddingSize;
  const Bytes block = BlockBytes(spec, imageSize);
  std::copy(block.begin(), block.end(), image.begin() + static_cast<std::ptrdiff_t>(spec.blockOffset));
  if (spec.paddingSize + size_t{4} <= image.size() && imageSize <= image.size() - 4 - spec.paddingSize) {
    StoreCrc(image, spec.blockOffset);
  }
  return image;
}

// Appends a DFU suffix of 16 + extraBytes bytes (the extra bytes come first, as zeros).
inline Bytes AddDfuSuffix(Bytes data, uint16_t vid, uint16_t pid, uint16_t bcdDevice, uint16_t bcdDfu = 0x0100,
                          uint8_t extraBytes = 0) {
  data.insert(data.end(), extraBytes, 0);
  const size_t at = data.size();
  data.resize(at + 16);
  PutLe(data, at + 0, bcdDevice, 2);
  PutLe(data, at + 2, pid, 2);
  PutLe(data, at + 4, vid, 2);
  PutLe(data, at + 6, bcdDfu, 2);
  data[at + 8] = 'U';
  data[at + 9] = 'F';
  data[at + 10] = 'D';
  data[at + 11] = static_cast<uint8_t>(16 + extraBytes);
  PutLe(data, at + 12, RefCrc32Register(0xFFFFFFFFu, data.data(), data.size() - 4), 4);
  return data;
}

inline std::filesystem::path ProgramFolder() {
#if defined(_WIN32)
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::filesystem::path(std::wstring(path, n)).parent_path();
#else
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  return std::filesystem::path(std::string(path, n > 0 ? static_cast<size_t>(n) : 0)).parent_path();
#endif
}

// <build>/generated, written by the build beside <build>/bin.
inline std::filesystem::path GeneratedFolder() { return ProgramFolder().parent_path() / "generated"; }
inline std::filesystem::path CarriedImagePath() { return GeneratedFolder() / "flashtool_image.bin"; }
inline std::filesystem::path TestDataFolder() { return GeneratedFolder() / "testdata"; }

inline bool ReadFile(const std::filesystem::path& path, Bytes& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return false;
  }
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

inline void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline WPath Wide(const std::filesystem::path& path) {
#if defined(_WIN32)
  return path.wstring();
#else
  return path.u16string();
#endif
}

// A temporary folder removed with its content.
class TempFolder {
 public:
  TempFolder() {
    static std::atomic<unsigned> counter{0};
    for (;;) {
      mPath = std::filesystem::temp_directory_path() /
              ("fbimg-" + std::to_string(std::random_device{}()) + "-" + std::to_string(counter++));
      if (std::filesystem::create_directory(mPath)) {
        break;
      }
    }
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(mPath, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  std::filesystem::path File(const std::string& name) const { return mPath / name; }

 private:
  std::filesystem::path mPath;
};

}  // namespace fbimg
