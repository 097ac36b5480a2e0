// Byte ranges handed to the image code: a caller's constant bytes, a caller's output buffer,
// and a memory area of the image for the CRC functions.
#pragma once

#include <cstdint>

namespace plendrik {

// {pointer to constant bytes, 64-bit byte count}.
class QXConstBuffer {
 public:
  QXConstBuffer() = default;
  QXConstBuffer(const void* ptr, uint64_t byteCount) : mPtr(static_cast<const uint8_t*>(ptr)), mByteCount(byteCount) {}
  const uint8_t* Ptr() const { return mPtr; }
  uint64_t ByteCount() const { return mByteCount; }

 private:
  const uint8_t* mPtr = nullptr;
  uint64_t mByteCount = 0;
};

// {pointer to writable bytes, 64-bit size}.
class QXMutableBuffer {
 public:
  QXMutableBuffer(void* ptr, uint64_t size) : mPtr(static_cast<uint8_t*>(ptr)), mSize(size) {}
  uint8_t* Ptr() const { return mPtr; }
  uint64_t Size() const { return mSize; }

 private:
  uint8_t* mPtr;
  uint64_t mSize;
};

// One piece of an image in memory, for the CRC functions.
struct QXMemoryArea {
  const uint8_t* startAddress;
  uint64_t areaSize;
};

}  // namespace plendrik
