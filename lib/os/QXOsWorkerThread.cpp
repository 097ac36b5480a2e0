#include "os/QXOsWorkerThread.h"

#include "diag/QXLog.h"

namespace plendrik {

QXOsWorkerThread::~QXOsWorkerThread() {
  if (HasThread()) {
    RequestStop();
    JoinAndDestroy();
  }
}

QXSTATUS QXOsWorkerThread::CreateThread(Routine routine, void* context) {
  if (HasThread()) {
    QX_LOG_ERROR("already created");
    return QXSTATUS_ALREADY_DONE;
  }
  mThreadState.store(kThreadNone, std::memory_order_release);
  mStopRequested.store(false, std::memory_order_release);
  mResult.store(QXSTATUS_SUCCESS, std::memory_order_release);
  mRoutine = routine;
  mContext = context;
  mThreadState.store(kThreadCreating, std::memory_order_release);
  const QXSTATUS st = QXOsStartThread(&QXOsWorkerThread::ThreadMain, this, mThread);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("CreateThread() failed, err={}", QXSt{st});
    mThreadState.store(kThreadNone, std::memory_order_release);
    return st;
  }
  return QXSTATUS_SUCCESS;
}

void QXOsWorkerThread::ThreadMain(void* context) {
  auto* self = static_cast<QXOsWorkerThread*>(context);
  self->mResult.store(QXSTATUS_SUCCESS, std::memory_order_release);
  self->mThreadState.store(kThreadRunning, std::memory_order_release);
  const QXSTATUS st = self->mRoutine(self->mContext);
  self->mResult.store(st, std::memory_order_release);
  self->mThreadState.store(kThreadEnded, std::memory_order_release);
}

QXSTATUS QXOsWorkerThread::JoinAndDestroy() {
  if (!HasThread()) {
    return QXSTATUS_SUCCESS;
  }
  if (QXOsIsCurrentThread(mThread)) {
    // The routine itself ended the last reference to its owner: it would wait for itself.
    QXOsDetachThread(mThread);
    mThreadState.store(kThreadJoined, std::memory_order_release);
    return QXSTATUS_SUCCESS;
  }
  while (!QXOsWaitAndReleaseThread(mThread, kJoinStepMs)) {
    QX_LOG_WARN("Waiting for thread {} to terminate...", QXOsGetThreadId(mThread));
  }
  mThreadState.store(kThreadJoined, std::memory_order_release);
  return QXSTATUS_SUCCESS;
}

}  // namespace plendrik
