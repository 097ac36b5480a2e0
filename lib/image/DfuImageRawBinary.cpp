#include "DfuImageRawBinary.h"

#include "diag/QXLog.h"

namespace plendrik {

DfuImageRawBinary::~DfuImageRawBinary() = default;

QXSTATUS DfuImageRawBinary::LoadFirmwareImageFromFile(const QXWChar* path, uint32_t /*flags*/) {
  const QXSTATUS st = LoadFromFile(path);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("LoadFromFile failed, st={}", QXSt{st});
  }
  return st;
}

QXSTATUS DfuImageRawBinary::LoadFirmwareFromBuffer(const QXConstBuffer& imageData, uint32_t /*flags*/) {
  const QXSTATUS st = LoadFromBuffer(imageData);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("LoadFromBuffer failed, st={}", QXSt{st});
  }
  return st;
}

}  // namespace plendrik
