// The format-independent part of a loaded firmware image: the owned bytes, whole-file and
// buffer loading, the optional DFU 1.1 file suffix, bounded reads and the suffix properties.
#pragma once

#include <cstdint>
#include <memory>

#include "image/QXCrc32.h"
#include "image/QXImageBuffers.h"
#include "os/QXOsTypes.h"

namespace plendrik {

// Layout of the 16 bytes at the end of a DFU file (all fields little-endian).
inline constexpr uint64_t kDfuSuffixSize = 16;

class DfuImageBase {
 public:
  DfuImageBase() = default;
  virtual ~DfuImageBase();
  DfuImageBase(const DfuImageBase&) = delete;
  DfuImageBase& operator=(const DfuImageBase&) = delete;

  virtual QXSTATUS LoadFirmwareImageFromFile(const QXWChar* path, uint32_t flags) = 0;
  virtual QXSTATUS LoadFirmwareFromBuffer(const QXConstBuffer& imageData, uint32_t flags) = 0;
  // Copies firmware bytes from readPosition on; never returns bytes of the DFU suffix.
  virtual QXSTATUS ReadFromImage(const QXMutableBuffer& buffer, uint64_t readPosition, uint64_t& bytesRead);
  virtual uint64_t GetImageDataSize();
  virtual QXSTATUS GetImagePropertyUint(uint32_t propertyId, uint32_t& value);
  virtual QXSTATUS GetImagePropertyUint64(uint32_t propertyId, uint64_t& value);
  virtual QXSTATUS GetImagePropertyString(uint32_t propertyId, QXWString& wideString);

  // The loaded bytes, suffix included, and the number of firmware bytes at their start.
  const uint8_t* GetData() const { return mData.get(); }
  uint64_t GetByteCount() const { return mByteCount; }
  bool HasDfuSuffix() const { return mSuffix != nullptr; }

 protected:
  QXSTATUS LoadFromFile(const QXWChar* path);
  QXSTATUS LoadFromBuffer(const QXConstBuffer& imageData);
  QXSTATUS LookForDfuFileSuffix();
  // Frees the data; byte count, capacity and image data length become 0.
  void Reset();

  // Takes a buffer of byteCount bytes as the new data (an earlier buffer is freed).
  void AdoptData(std::unique_ptr<uint8_t[]> data, uint64_t byteCount);
  // The suffix check's CRC pass over the data, for a second CRC from byte 0 to reuse.
  const QXCrc32Checkpoints& CrcCheckpoints() const { return mCrcCheckpoints; }

  std::unique_ptr<uint8_t[]> mData;
  uint64_t mCapacity = 0;
  uint64_t mByteCount = 0;
  uint64_t mImageDataLength = 0;
  const uint8_t* mSuffix = nullptr;
  QXCrc32Checkpoints mCrcCheckpoints;
};

}  // namespace plendrik
