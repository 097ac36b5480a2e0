// CRC-32 over the reflected polynomial 0xEDB88320 with one 256-entry table for the library.
// The register form (no final inversion) serves the DFU file suffix; the standard form (with
// final inversion, as zlib computes it) serves the image CRC.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plendrik {

inline constexpr uint32_t kQXCrc32Init = 0xFFFFFFFFu;

// The table, built once while the library loads.
const uint32_t* QXCrc32Table();

// Runs the register over size bytes: r = (r >> 8) ^ table[(r ^ byte) & 0xFF].
uint32_t QXCrc32Update(uint32_t crcRegister, const void* data, size_t size);

// The standard CRC-32 of one buffer: ~QXCrc32Update(0xFFFFFFFF, data, size).
inline uint32_t QXCrc32(const void* data, size_t size) { return ~QXCrc32Update(kQXCrc32Init, data, size); }

}  // namespace plendrik
