#include "usb/QXUsbStringDescriptor.h"

#include "diag/QXLog.h"

namespace plendrik {

QXSTATUS QXConvertUsbStringDescToString(const uint8_t* raw, uint32_t rawLength, QXWChar* string, uint32_t capacity) {
  if (raw == nullptr || rawLength < 2) {
    QX_LOG_ERROR("too few data for string desc., got {}, min. {}", rawLength, 2u);
    return QXSTATUS_INVALID_DESCRIPTOR;
  }
  const uint32_t bLength = raw[0];
  if (bLength != rawLength) {
    QX_LOG_ERROR("unexpected bLength {} in string desc.", bLength);
    return QXSTATUS_INVALID_DESCRIPTOR;
  }
  if ((bLength & 1) != 0) {
    QX_LOG_WARN("uneven bLength {} in string desc.", bLength);
  }
  const uint32_t units = (bLength - 2) / 2;
  if (string == nullptr || units + 1 > capacity) {
    return QXSTATUS_BUFFER_TOO_SMALL;
  }
  for (uint32_t i = 0; i < units; ++i) {
    string[i] = static_cast<QXWChar>(raw[2 + 2 * i] | (raw[3 + 2 * i] << 8));
  }
  string[units] = 0;
  return QXSTATUS_SUCCESS;
}

QXSTATUS QXConvertUsbStringDescToLangIdList(const uint8_t* raw, uint32_t rawLength, std::vector<uint16_t>& list) {
  if (raw == nullptr || rawLength < 4) {
    QX_LOG_ERROR("too few data for lang. Id string desc., got {}, min. {}", rawLength, 4u);
    return QXSTATUS_INVALID_DESCRIPTOR;
  }
  const uint32_t bLength = raw[0];
  if (bLength != rawLength) {
    QX_LOG_ERROR("unexpected bLength {} in lang. Id string desc", bLength);
    return QXSTATUS_INVALID_DESCRIPTOR;
  }
  if ((bLength & 1) != 0) {
    QX_LOG_WARN("uneven bLength {} in lang. Id string desc", bLength);
  }
  // Only whole 16-bit units count; the odd last byte of an uneven descriptor is no LANGID.
  for (uint32_t offset = 2; offset + 1 < bLength; offset += 2) {
    list.push_back(static_cast<uint16_t>(raw[offset] | (raw[offset + 1] << 8)));
  }
  return QXSTATUS_SUCCESS;
}

}  // namespace plendrik
