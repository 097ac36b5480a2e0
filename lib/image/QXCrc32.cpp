#include "QXCrc32.h"

#include <array>

namespace plendrik {
namespace {

constexpr std::array<uint32_t, 256> BuildCrc32Table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) {
      c = (c & 1u) != 0 ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    }
    table[i] = c;
  }
  return table;
}

// Constant-initialised: ready before any code of the library can run.
constinit const std::array<uint32_t, 256> kCrc32Table = BuildCrc32Table();

}  // namespace

const uint32_t* QXCrc32Table() { return kCrc32Table.data(); }

uint32_t QXCrc32Update(uint32_t crcRegister, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t r = crcRegister;
  for (size_t i = 0; i < size; ++i) {
    r = (r >> 8) ^ kCrc32Table[(r ^ p[i]) & 0xFFu];
  }
  return r;
}

}  // namespace plendrik
