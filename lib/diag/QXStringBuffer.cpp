#include "QXStringBuffer.h"

#include "diag/QXLog.h"

namespace plendrik {

QXSTATUS QXCopyStringToStringBuffer(QXWStringView source, QXWChar* stringBuffer, uint32_t stringBufferMaxItems) {
  if (source.empty()) {
    return QXSTATUS_NOT_AVAILABLE;
  }
  if (source.size() >= stringBufferMaxItems) {
    QX_LOG_ERROR("stringBufferMaxItems {} too small", stringBufferMaxItems);
    return QXSTATUS_BUFFER_TOO_SMALL;
  }
  uint32_t i = 0;
  for (; i + 1 < stringBufferMaxItems && i < source.size() && source[i] != 0; ++i) {
    stringBuffer[i] = source[i];
  }
  stringBuffer[i] = 0;
  return QXSTATUS_SUCCESS;
}

}  // namespace plendrik
