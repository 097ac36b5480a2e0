#include "discovery/QXWinGuid.h"

#include "diag/QXLog.h"

namespace plendrik {

QXSTATUS QXWinGuid::GuidFromString(const QXWString& text, QXGuid& guid) {
  const int32_t res = ParseBracedGuid(text, guid);
  if (res != 0) {
    guid = QXGuid{};
    QX_LOG_ERROR("IIDFromString failed, res={}", QXSt{static_cast<QXSTATUS>(res)});
    return QXSTATUS_INVALID_FORMAT;
  }
  return QXSTATUS_SUCCESS;
}

}  // namespace plendrik
