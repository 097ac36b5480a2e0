// A loaded firmware image behind an image handle: it owns the format object (raw or with
// metadata block), which owns a private copy of the image bytes. Read-only once loaded.
#pragma once

#include <memory>

#include "image/DfuImageBase.h"
#include "os/QXIntrusiveSharedPtr.h"

namespace plendrik {

class DfuImage : public QXRefCounted {
 public:
  DfuImage() = default;

  QXSTATUS CreateImplementation(uint32_t imageType);
  QXSTATUS LoadFirmwareImageFromFile(const QXWChar* path, uint32_t imageType, uint32_t flags);
  QXSTATUS LoadFirmwareFromBuffer(const QXConstBuffer& imageData, uint32_t imageType, uint32_t flags);

  QXSTATUS GetImagePropertyUint(uint32_t propertyId, uint32_t* value);
  QXSTATUS GetImagePropertyUint64(uint32_t propertyId, uint64_t* value);
  // stringBufferMaxItems counts UTF-16 units, terminator included.
  QXSTATUS GetImagePropertyString(uint32_t propertyId, QXWChar* stringBuffer, uint32_t stringBufferMaxItems);

  // The firmware bytes for a download; null before a successful load.
  DfuImageBase* GetImplementation() const { return mImplementation.get(); }
  uint32_t GetImageType() const { return mImageType; }

 protected:
  ~DfuImage() override;

 private:
  std::unique_ptr<DfuImageBase> mImplementation;
  uint32_t mImageType = 0;
};

}  // namespace plendrik
