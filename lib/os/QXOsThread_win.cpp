#include <windows.h>

#include <new>

#include "os/QXOsThread.h"

namespace plendrik {

struct QXOsThreadRecord {
  HANDLE handle = nullptr;
  QXOsThreadEntry entry = nullptr;
  void* context = nullptr;
  DWORD threadId = 0;
};

namespace {

DWORD WINAPI ThreadMain(LPVOID argument) {
  auto* record = static_cast<QXOsThreadRecord*>(argument);
  record->entry(record->context);
  return 0;
}

}  // namespace

QXSTATUS QXOsStartThread(QXOsThreadEntry entry, void* context, QXOsThread& thread) {
  thread = QXOsThread();
  auto* record = new (std::nothrow) QXOsThreadRecord();
  if (record == nullptr) {
    return QXSTATUS_NO_MEMORY;
  }
  record->entry = entry;
  record->context = context;
  record->handle = ::CreateThread(nullptr, 0, &ThreadMain, record, 0, &record->threadId);
  if (record->handle == nullptr) {
    const DWORD err = GetLastError();
    delete record;
    return err != 0 ? err : QXSTATUS_FAILED;
  }
  thread.record = record;
  return QXSTATUS_SUCCESS;
}

uint32_t QXOsGetThreadId(const QXOsThread& thread) { return thread.record != nullptr ? thread.record->threadId : 0; }

bool QXOsWaitAndReleaseThread(QXOsThread& thread, uint32_t timeoutMs) {
  QXOsThreadRecord* record = thread.record;
  if (record == nullptr) {
    return true;
  }
  if (WaitForSingleObject(record->handle, timeoutMs) != WAIT_OBJECT_0) {
    return false;
  }
  CloseHandle(record->handle);
  delete record;
  thread = QXOsThread();
  return true;
}

}  // namespace plendrik
