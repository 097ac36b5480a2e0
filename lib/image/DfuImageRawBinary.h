// Image type 1: the loaded bytes (DFU suffix excluded) are the firmware, uninterpreted.
#pragma once

#include "image/DfuImageBase.h"

namespace plendrik {

class DfuImageRawBinary : public DfuImageBase {
 public:
  DfuImageRawBinary() = default;
  ~DfuImageRawBinary() override;

  QXSTATUS LoadFirmwareImageFromFile(const QXWChar* path, uint32_t flags) override;
  QXSTATUS LoadFirmwareFromBuffer(const QXConstBuffer& imageData, uint32_t flags) override;
};

}  // namespace plendrik
