#include "QXCrc32.h"

#include <array>
#include <bit>
#include <cstring>
#include <new>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define QX_CRC32_CLMUL 1
#endif

namespace plendrik {
namespace {

// Eight tables for slicing-by-8: table[0] is the classic byte table; table[k][i] is the register
// after byte i followed by k zero bytes, so eight bytes fold into the register with eight
// independent look-ups instead of eight dependent ones.
using Crc32Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Crc32Tables BuildCrc32Tables() {
  Crc32Tables tables{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) {
      c = (c & 1u) != 0 ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    }
    tables[0][i] = c;
  }
  for (size_t k = 1; k < tables.size(); ++k) {
    for (uint32_t i = 0; i < 256; ++i) {
      const uint32_t previous = tables[k - 1][i];
      tables[k][i] = (previous >> 8) ^ tables[0][previous & 0xFFu];
    }
  }
  return tables;
}

// Constant-initialised: ready before any code of the library can run.
constinit const Crc32Tables kCrc32Tables = BuildCrc32Tables();

static_assert(std::endian::native == std::endian::little, "the 8-byte step reads words little-endian");

#ifdef QX_CRC32_CLMUL
// Carry-less multiplication folds four 16-byte lanes at once: each lane is multiplied by
// x^(512+-32) mod P and added to the data 64 bytes further on, so the register advances by 64
// bytes per round without tables. The lanes are then folded into one, reduced to 64 bits and
// by Barrett reduction to the 32-bit register. size is at least 64 and a multiple of 16; the
// register goes in and comes out without final inversion, like QXCrc32Update.
// acc carried 16 bytes on (multiplied by x^128 mod P, as two products) and added to next.
__attribute__((target("pclmul,sse4.1"))) inline __m128i FoldLane(__m128i acc, __m128i next, __m128i k3k4) {
  const __m128i lo = _mm_clmulepi64_si128(acc, k3k4, 0x00);
  const __m128i hi = _mm_clmulepi64_si128(acc, k3k4, 0x11);
  return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

__attribute__((target("pclmul,sse4.1"))) uint32_t Crc32Clmul(uint32_t crcRegister, const uint8_t* p, size_t size) {
  // x^(4*128+32) and x^(4*128-32), x^(128+32) and x^(128-32), x^64, all mod P (bit-reflected).
  const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
  const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
  // P(x) and the Barrett constant floor(x^64 / P(x)), bit-reflected.
  const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  const __m128i mask32 = _mm_setr_epi32(-1, 0, -1, 0);

  __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
  __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
  __m128i x4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
  x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(crcRegister)));
  p += 64;
  size -= 64;
  while (size >= 64) {
    const __m128i x5 = _mm_clmulepi64_si128(x1, k1k2, 0x00);
    const __m128i x6 = _mm_clmulepi64_si128(x2, k1k2, 0x00);
    const __m128i x7 = _mm_clmulepi64_si128(x3, k1k2, 0x00);
    const __m128i x8 = _mm_clmulepi64_si128(x4, k1k2, 0x00);
    x1 = _mm_clmulepi64_si128(x1, k1k2, 0x11);
    x2 = _mm_clmulepi64_si128(x2, k1k2, 0x11);
    x3 = _mm_clmulepi64_si128(x3, k1k2, 0x11);
    x4 = _mm_clmulepi64_si128(x4, k1k2, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, x5), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    x2 = _mm_xor_si128(_mm_xor_si128(x2, x6), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
    x3 = _mm_xor_si128(_mm_xor_si128(x3, x7), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)));
    x4 = _mm_xor_si128(_mm_xor_si128(x4, x8), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)));
    p += 64;
    size -= 64;
  }
  x1 = FoldLane(x1, x2, k3k4);
  x1 = FoldLane(x1, x3, k3k4);
  x1 = FoldLane(x1, x4, k3k4);
  for (; size >= 16; size -= 16, p += 16) {
    x1 = FoldLane(x1, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), k3k4);
  }
  // 128 bits to 64.
  __m128i x = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
  x = _mm_xor_si128(_mm_srli_si128(x, 4), _mm_clmulepi64_si128(_mm_and_si128(x, mask32), k5, 0x00));
  // Barrett reduction to 32 bits.
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, mask32), poly, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), poly, 0x00);
  x = _mm_xor_si128(x, t);
  return static_cast<uint32_t>(_mm_extract_epi32(x, 1));
}

bool CpuHasClmul() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}
#endif

}  // namespace

const uint32_t* QXCrc32Table() { return kCrc32Tables[0].data(); }

uint32_t QXCrc32UpdateTables(uint32_t crcRegister, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t r = crcRegister;
  const auto& t = kCrc32Tables;
  for (; size >= 8; size -= 8, p += 8) {
    uint32_t lo = 0;
    uint32_t hi = 0;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + 4, 4);
    lo ^= r;
    r = t[7][lo & 0xFFu] ^ t[6][(lo >> 8) & 0xFFu] ^ t[5][(lo >> 16) & 0xFFu] ^ t[4][lo >> 24] ^ t[3][hi & 0xFFu] ^
        t[2][(hi >> 8) & 0xFFu] ^ t[1][(hi >> 16) & 0xFFu] ^ t[0][hi >> 24];
  }
  for (; size != 0; --size, ++p) {
    r = (r >> 8) ^ t[0][(r ^ *p) & 0xFFu];
  }
  return r;
}

uint32_t QXCrc32Update(uint32_t crcRegister, const void* data, size_t size) {
#ifdef QX_CRC32_CLMUL
  static const bool hasClmul = CpuHasClmul();
  if (hasClmul && size >= 64) {
    const auto* p = static_cast<const uint8_t*>(data);
    const size_t folded = size & ~size_t{15};
    return QXCrc32UpdateTables(Crc32Clmul(crcRegister, p, folded), p + folded, size - folded);
  }
#endif
  return QXCrc32UpdateTables(crcRegister, data, size);
}

uint32_t QXCrc32Checkpoints::Run(const uint8_t* data, size_t size) {
  Clear();
  bool keep = true;
  try {
    mRegisters.reserve(size / kStride + 1);
  } catch (const std::bad_alloc&) {
    keep = false;
  }
  uint32_t r = kQXCrc32Init;
  size_t done = 0;
  while (true) {
    if (keep) {
      mRegisters.push_back(r);  // within the reserved capacity: cannot throw
    }
    if (done == size) {
      break;
    }
    const size_t n = size - done < kStride ? size - done : kStride;
    r = QXCrc32Update(r, data + done, n);
    done += n;
    if (n < kStride) {
      break;
    }
  }
  if (keep) {
    mData = data;
    mSize = size;
  } else {
    Clear();
  }
  return r;
}

void QXCrc32Checkpoints::Clear() {
  mData = nullptr;
  mSize = 0;
  mRegisters.clear();
}

uint32_t QXCrc32Checkpoints::RegisterOfPrefix(const uint8_t* data, size_t length) const {
  if (data == nullptr || data != mData || length > mSize || mRegisters.empty()) {
    return QXCrc32Update(kQXCrc32Init, data, length);
  }
  const size_t index = length / kStride < mRegisters.size() ? length / kStride : mRegisters.size() - 1;
  const size_t start = index * kStride;
  return QXCrc32Update(mRegisters[index], data + start, length - start);
}

}  // namespace plendrik
