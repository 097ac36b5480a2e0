// A process-local recursive mutex (a critical section on windows) and its scoped lock.
#pragma once

namespace plendrik {

class QXOsThreadMutex {
 public:
  QXOsThreadMutex();
  ~QXOsThreadMutex();
  QXOsThreadMutex(const QXOsThreadMutex&) = delete;
  QXOsThreadMutex& operator=(const QXOsThreadMutex&) = delete;

  void Lock();
  void Unlock();

 private:
  alignas(16) unsigned char mStorage[64];
};

// The mutex is created together with its owner; the name says so where the design asks for it.
using QXOsThreadMutexAutoCreate = QXOsThreadMutex;

class QXOsLockGuard {
 public:
  explicit QXOsLockGuard(QXOsThreadMutex& mutex) : mMutex(mutex) { mMutex.Lock(); }
  ~QXOsLockGuard() { mMutex.Unlock(); }
  QXOsLockGuard(const QXOsLockGuard&) = delete;
  QXOsLockGuard& operator=(const QXOsLockGuard&) = delete;

 private:
  QXOsThreadMutex& mMutex;
};

}  // namespace plendrik
