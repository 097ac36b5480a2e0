// Image type 2: firmware that embeds a metadata block; it loads only when the block is found
// and the image CRC that the block describes checks. The block feeds image properties 2 to 11.
#pragma once

#include <string>

#include "image/DfuImageBase.h"
#include "image/QXImgMetadata.h"

namespace plendrik {

class DfuImageQxBinary : public DfuImageBase {
 public:
  DfuImageQxBinary() = default;
  ~DfuImageQxBinary() override;

  QXSTATUS LoadFirmwareImageFromFile(const QXWChar* path, uint32_t flags) override;
  QXSTATUS LoadFirmwareFromBuffer(const QXConstBuffer& imageData, uint32_t flags) override;
  QXSTATUS GetImagePropertyUint(uint32_t propertyId, uint32_t& value) override;
  QXSTATUS GetImagePropertyString(uint32_t propertyId, QXWString& wideString) override;

  QXSTATUS VerifyImage();
  // The CHAR string of the first item with itemId; it ends at its NUL or at the item's end.
  QXSTATUS GetMetaDataString(uint16_t itemId, std::string& narrowString);
  // The verified block inside the image data (its 60-byte header goes to the device), or null.
  const QXImgMetadataBlock* GetMetadataBlock() const { return mMetadataBlock; }

 private:
  const QXImgMetadataBlock* mMetadataBlock = nullptr;
};

}  // namespace plendrik
