#include "QXDfuApi.h"

namespace plendrik {

namespace {
template <class EntryPoint>
void ResolveEntryPoint(QXToolModuleHandle module, const char* name, EntryPoint& entryPoint) {
  entryPoint = reinterpret_cast<EntryPoint>(QXToolGetProcAddress(module, name));
}
}  // namespace

QXDfuApi& QXDfuApi::Instance() {
  static QXDfuApi instance;
  return instance;
}

QXSTATUS QXDfuApi::LoadByName(const QXDFU_WCHAR* fileName) {
  apiVersion = 0;
  Unload();

  if (QXToolFileIsMissing(fileName)) {
    return QXSTATUS_FILE_NOT_FOUND;
  }

  QXToolModuleHandle loaded = nullptr;
  const QXSTATUS loadStatus = QXToolLoadModule(fileName, loaded);
  if (loaded == nullptr && loadStatus != QXSTATUS_SUCCESS) {
    return loadStatus;
  }
  // A failed load without an error number goes on without a module; the exports then count as
  // missing below.
  module = loaded;

  if (module != nullptr) {
    ResolveEntryPoint(module, "QXDFU_GetApiVersion", QXDFU_GetApiVersion);
    ResolveEntryPoint(module, "QXDFU_CheckApiVersion", QXDFU_CheckApiVersion);
    if (QXDFU_GetApiVersion != nullptr && QXDFU_CheckApiVersion != nullptr) {
      apiVersion = QXDFU_GetApiVersion();
      if (QXDFU_CheckApiVersion(kRequiredMajorVersion, kRequiredMinorVersion) == 0) {
        Unload();
        apiVersion = 0;
        return QXSTATUS_VERSION_MISMATCH;
      }
    }
    // The other 23, in table order (the first two again: resolving them twice changes nothing).
#define QXDFU_RESOLVE_ENTRY_POINT(name) ResolveEntryPoint(module, #name, name);
    QXDFU_API_ENTRY_POINTS(QXDFU_RESOLVE_ENTRY_POINT)
#undef QXDFU_RESOLVE_ENTRY_POINT
  }

  if (LoadedEntryPointCount() != kEntryPointCount) {
    Unload();
    apiVersion = 0;
    return QXSTATUS_OBJECT_NOT_FOUND;
  }
  return QXSTATUS_SUCCESS;
}

void QXDfuApi::Unload() {
#define QXDFU_CLEAR_ENTRY_POINT(name) name = nullptr;
  QXDFU_API_ENTRY_POINTS(QXDFU_CLEAR_ENTRY_POINT)
#undef QXDFU_CLEAR_ENTRY_POINT
  if (module != nullptr) {
    QXToolFreeModule(module);
    module = nullptr;
  }
}

int QXDfuApi::LoadedEntryPointCount() const {
  int count = 0;
#define QXDFU_COUNT_ENTRY_POINT(name) count += (name != nullptr) ? 1 : 0;
  QXDFU_API_ENTRY_POINTS(QXDFU_COUNT_ENTRY_POINT)
#undef QXDFU_COUNT_ENTRY_POINT
  return count;
}

const char* QXDfuErrorText(QXSTATUS status) {
  const auto getErrorText = QXDfuApi::Instance().QXDFU_GetErrorText;
  if (getErrorText == nullptr) {
    return "";
  }
  const char* text = getErrorText(status);
  return text != nullptr ? text : "";
}

}  // namespace plendrik
