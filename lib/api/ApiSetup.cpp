// The set-up exports: version, error text, character size and file logging.
#include "api/DfuApi.h"
#include "diag/QXLog.h"
#include "diag/QXStatusNames.h"

using namespace plendrik;

extern "C" {

uint32_t QXDFU_GetApiVersion(void) {
  QXDFU_API_TRACE("");
  return (DfuApi::kApiVersionMajor << 16) | DfuApi::kApiVersionMinor;
}

int32_t QXDFU_CheckApiVersion(uint32_t majorVersion, uint32_t minorVersion) {
  QXDFU_API_TRACE("majorVersion={}, minorVersion={}", majorVersion, minorVersion);
  return gDfuApi.CheckApiVersion(majorVersion, minorVersion);
}

uint32_t QXDFU_GetUniCharSize(void) { return static_cast<uint32_t>(sizeof(QXWChar)); }

const char* QXDFU_GetErrorText(QXSTATUS status) {
  const char* name = QXStatusName(status);
  return name != nullptr ? name : "unknown";
}

QXSTATUS QXDFU_StartFileLogging(const QXDFU_WCHAR* logFileName, uint32_t flags) {
  QXDFU_API_TRACE("logFileName={}, flags={:#X}", logFileName, flags);
  return gDfuApi.StartFileLogging(logFileName, flags);
}

}  // extern "C"
