#include "DfuImageBase.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "diag/QXLog.h"
#include "diag/QXStdFileStream.h"
#include "image/QXCrc32.h"

namespace plendrik {
namespace {

// Files are measured with a signed 32-bit position: 2 GiB and more cannot be loaded.
constexpr int64_t kMaxImageFileSize = INT32_MAX;

std::unique_ptr<uint8_t[]> AllocateBuffer(uint64_t size) {
  if (size > SIZE_MAX) {
    return nullptr;
  }
  return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[static_cast<size_t>(size)]);
}

uint16_t ReadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

DfuImageBase::~DfuImageBase() = default;

void DfuImageBase::Reset() {
  mCrcCheckpoints.Clear();
  mData.reset();
  mSuffix = nullptr;
  mCapacity = 0;
  mByteCount = 0;
  mImageDataLength = 0;
}

void DfuImageBase::AdoptData(std::unique_ptr<uint8_t[]> data, uint64_t byteCount) {
  mSuffix = nullptr;
  mCrcCheckpoints.Clear();
  mData = std::move(data);
  mCapacity = byteCount;
  mByteCount = byteCount;
  mImageDataLength = byteCount;
}

QXSTATUS DfuImageBase::LoadFromFile(const QXWChar* path) {
  const QXWString pathText(path != nullptr ? path : QXW(""));
  QXStdFileStream file;  // closed on every path by its destructor
  QXSTATUS st = file.Open(pathText, "rb");
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("Open file {} failed, st={}", pathText, QXSt{st});
    return st;
  }
  st = file.SeekToEnd();
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("SeekToEnd failed, st={}", QXSt{st});
    return st;
  }
  int64_t position = 0;
  st = file.Tell(position);
  if (st == QXSTATUS_SUCCESS && position > kMaxImageFileSize) {
    // Refused rather than truncated to 32 bits, which would load a fragment of the file.
    st = QXSTATUS_FROM_ERRNO(EOVERFLOW);
    QX_LOG_ERROR("file {} has {} bytes, more than {} bytes are not supported", pathText, position, kMaxImageFileSize);
  }
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("Tell failed, st={}", QXSt{st});
    return st;
  }
  const uint64_t size = static_cast<uint64_t>(position);
  if (size == 0) {
    QX_LOG_ERROR("file {} is empty", pathText);
    return QXSTATUS_INVALID_FILE;
  }
  st = file.SeekToStart();
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("SeekToStart failed, st={}", QXSt{st});
    return st;
  }
  std::unique_ptr<uint8_t[]> buffer = AllocateBuffer(size);
  if (buffer == nullptr) {
    st = QXSTATUS_NO_MEMORY;
    QX_LOG_ERROR("AllocateBuffer failed, st={}", QXSt{st});
    return st;
  }
  const uint64_t bytesRead = file.Read(buffer.get(), static_cast<size_t>(size));
  if (bytesRead != size) {
    QX_LOG_ERROR("ReadFromFile failed, bcnt={}, exp.={}", bytesRead, size);
    return QXSTATUS_READ_FILE_FAILED;
  }
  AdoptData(std::move(buffer), bytesRead);
  st = LookForDfuFileSuffix();
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("LookForDfuFileSuffix failed, st={}", QXSt{st});
    Reset();
    return st;
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuImageBase::LoadFromBuffer(const QXConstBuffer& imageData) {
  std::unique_ptr<uint8_t[]> buffer = AllocateBuffer(imageData.ByteCount());
  if (buffer == nullptr) {
    const QXSTATUS st = QXSTATUS_NO_MEMORY;
    QX_LOG_ERROR("AllocateBuffer failed, st={}", QXSt{st});
    return st;
  }
  if (imageData.ByteCount() != 0) {
    std::memcpy(buffer.get(), imageData.Ptr(), static_cast<size_t>(imageData.ByteCount()));
  }
  AdoptData(std::move(buffer), imageData.ByteCount());
  const QXSTATUS st = LookForDfuFileSuffix();
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("LookForDfuFileSuffix failed, st={}", QXSt{st});
    Reset();
    return st;
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuImageBase::LookForDfuFileSuffix() {
  mSuffix = nullptr;
  mImageDataLength = mByteCount;
  if (mByteCount < kDfuSuffixSize) {
    return QXSTATUS_SUCCESS;
  }
  const uint8_t* s = mData.get() + (mByteCount - kDfuSuffixSize);
  if (s[8] != 0x55 || s[9] != 0x46 || s[10] != 0x44) {
    QX_LOG_DETAIL("no DFU file suffix available");
    return QXSTATUS_SUCCESS;
  }
  const uint32_t bLength = s[11];
  if (bLength < kDfuSuffixSize) {
    QX_LOG_INFO("invalid bLength={} bytes, min. {} bytes, ignore DFU file suffix", bLength, kDfuSuffixSize);
    return QXSTATUS_SUCCESS;
  }
  if (bLength > mByteCount) {
    QX_LOG_INFO("bLength={} exceeds image data length {} bytes, ignore DFU file suffix", bLength, mByteCount);
    return QXSTATUS_SUCCESS;
  }
  const uint32_t crcRegister = mCrcCheckpoints.Run(mData.get(), static_cast<size_t>(mByteCount - 4));
  const uint32_t dwCRC = ReadLe32(s + 12);
  if (crcRegister != dwCRC) {
    QX_LOG_ERROR("crcSUM={:#x} != dwCRC={:#x}", static_cast<uint32_t>(~crcRegister), static_cast<uint32_t>(~dwCRC));
    return QXSTATUS_CHECKSUM_ERROR;
  }
  if (bLength == mByteCount) {
    // Nothing but a suffix: a download of it would leave the device without firmware.
    QX_LOG_ERROR("DFU file suffix of {} bytes leaves no firmware data", bLength);
    return QXSTATUS_INVALID_FILE;
  }
  mSuffix = s;
  mImageDataLength = mByteCount - bLength;
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuImageBase::ReadFromImage(const QXMutableBuffer& buffer, uint64_t readPosition, uint64_t& bytesRead) {
  bytesRead = 0;
  if (mData == nullptr || mByteCount == 0) {
    QX_LOG_ERROR("no image data");
    return QXSTATUS_NOT_POSSIBLE;
  }
  if (readPosition >= mImageDataLength) {
    QX_LOG_ERROR("invalid readPosition {}, image size={}", readPosition, mImageDataLength);
    return QXSTATUS_PARAMETER_REJECTED;
  }
  const uint64_t n = std::min(mImageDataLength - readPosition, buffer.Size());
  if (n != 0) {
    std::memcpy(buffer.Ptr(), mData.get() + readPosition, static_cast<size_t>(n));
  }
  bytesRead = n;
  return QXSTATUS_SUCCESS;
}

uint64_t DfuImageBase::GetImageDataSize() { return mImageDataLength; }

QXSTATUS DfuImageBase::GetImagePropertyUint(uint32_t propertyId, uint32_t& value) {
  switch (propertyId) {
    case QXDFU_IMAGE_PROPERTY_HAS_DFU_SUFFIX:
      value = mSuffix != nullptr ? 1 : 0;
      return QXSTATUS_SUCCESS;
    case QXDFU_IMAGE_PROPERTY_SUFFIX_VENDOR_ID:
    case QXDFU_IMAGE_PROPERTY_SUFFIX_PRODUCT_ID:
    case QXDFU_IMAGE_PROPERTY_SUFFIX_BCD_DEVICE:
    case QXDFU_IMAGE_PROPERTY_SUFFIX_BCD_DFU:
      break;
    default:
      QX_LOG_ERROR("unknown propertyId={}", propertyId);
      return QXSTATUS_NOT_SUPPORTED;
  }
  if (mSuffix == nullptr) {
    QX_LOG_ERROR("propertyId={} unsupported without DFU file suffix", propertyId);
    return QXSTATUS_NOT_SUPPORTED;
  }
  switch (propertyId) {
    case QXDFU_IMAGE_PROPERTY_SUFFIX_VENDOR_ID:
      value = ReadLe16(mSuffix + 4);
      break;
    case QXDFU_IMAGE_PROPERTY_SUFFIX_PRODUCT_ID:
      value = ReadLe16(mSuffix + 2);
      break;
    case QXDFU_IMAGE_PROPERTY_SUFFIX_BCD_DEVICE:
      value = ReadLe16(mSuffix + 0);
      break;
    default:
      value = ReadLe16(mSuffix + 6);
      break;
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuImageBase::GetImagePropertyUint64(uint32_t propertyId, uint64_t& value) {
  if (propertyId != QXDFU_IMAGE_PROPERTY_IMAGE_SIZE) {
    QX_LOG_ERROR("unknown propertyId={}", propertyId);
    return QXSTATUS_NOT_SUPPORTED;
  }
  value = GetImageDataSize();
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuImageBase::GetImagePropertyString(uint32_t /*propertyId*/, QXWString& /*wideString*/) {
  return QXSTATUS_NOT_SUPPORTED;
}

}  // namespace plendrik
