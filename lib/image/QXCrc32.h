// CRC-32 over the reflected polynomial 0xEDB88320: carry-less multiplication on x86-64
// processors that have it, slicing-by-8 tables elsewhere.
// The register form (no final inversion) serves the DFU file suffix; the standard form (with
// final inversion, as zlib computes it) serves the image CRC.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace plendrik {

inline constexpr uint32_t kQXCrc32Init = 0xFFFFFFFFu;

// The byte table (the first of the eight), built while the library loads.
const uint32_t* QXCrc32Table();

// Runs the register over size bytes, as if by r = (r >> 8) ^ table[(r ^ byte) & 0xFF] for each:
// by carry-less multiplication where the processor has it, else with the tables.
uint32_t QXCrc32Update(uint32_t crcRegister, const void* data, size_t size);

// The same with the tables only, eight bytes per step (the path of processors without
// carry-less multiplication, and of the tails of the other).
uint32_t QXCrc32UpdateTables(uint32_t crcRegister, const void* data, size_t size);

// The standard CRC-32 of one buffer: ~QXCrc32Update(0xFFFFFFFF, data, size).
inline uint32_t QXCrc32(const void* data, size_t size) { return ~QXCrc32Update(kQXCrc32Init, data, size); }

// The register over a buffer, kept at every kStride bytes on the way, so that the register of
// any prefix of the same buffer costs at most kStride bytes more: two CRCs over the same bytes
// from byte 0 (the DFU suffix and the image CRC of one file) then read the bytes once.
class QXCrc32Checkpoints {
 public:
  static constexpr size_t kStride = size_t{64} << 10;

  // Runs the register from kQXCrc32Init over data[0, size) and returns it. Without memory for
  // the checkpoints the result is the same; only later prefixes cost a full pass.
  uint32_t Run(const uint8_t* data, size_t size);
  // Forgets the buffer.
  void Clear();
  // The register from kQXCrc32Init over data[0, length); from the checkpoints when data is the
  // buffer of the last Run and length lies within it, else computed in full.
  uint32_t RegisterOfPrefix(const uint8_t* data, size_t length) const;

 private:
  const uint8_t* mData = nullptr;
  size_t mSize = 0;
  std::vector<uint32_t> mRegisters;  // mRegisters[i]: the register over data[0, i * kStride)
};

}  // namespace plendrik
