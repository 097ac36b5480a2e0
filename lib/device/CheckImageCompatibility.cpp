// Lets the device judge an image of type 2 from its metadata header before any firmware byte
// is sent. Raw images carry no header and pass without a request.
#include <cstring>

#include "device/DfuDevice.h"
#include "diag/QXLog.h"
#include "image/DfuImage.h"
#include "image/DfuImageQxBinary.h"

namespace plendrik {

QXSTATUS DfuDevice::CheckImageCompatibility(DfuImage& image, uint8_t targetId) {
  if (image.GetImageType() != QXDFU_IMAGE_TYPE_QX_BINARY) {
    return QXSTATUS_SUCCESS;
  }
  auto* qxImage = dynamic_cast<DfuImageQxBinary*>(image.GetImplementation());
  if (qxImage == nullptr) {
    QX_LOG_ERROR("invalid image type");
    return QXSTATUS_INVALID_PARAMETER;
  }
  const QXImgMetadataBlock* block = qxImage->GetMetadataBlock();
  if (qxImage->GetData() == nullptr || block == nullptr) {
    QX_LOG_ERROR("no valid image");
    return QXSTATUS_INVALID_DATA;
  }
  // The header goes out byte for byte as it stands in the image.
  uint8_t header[kQXImgMetadataHeaderSize];
  std::memcpy(header, block, sizeof(header));
  QXSTATUS st = mDevicePort->PrivStoreImageMetadataHeader(header);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("PrivStoreImageMetadataHeader failed, st={}", QXSt{st});
    return st;
  }
  uint32_t requestStatus = QXSTATUS_SUCCESS;
  st = mDevicePort->PrivCheckImageCompatibility(targetId, requestStatus);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("PrivCheckImageCompatibility failed, st={}", QXSt{st});
    return st;
  }
  if (requestStatus != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("device reports that image is incompatible, targetId={}, reqSt={}", targetId, QXSt{requestStatus});
    return requestStatus;
  }
  return QXSTATUS_SUCCESS;
}

}  // namespace plendrik
