// The open file of a device-interface path, optionally guarded by a named mutex that
// claims the device for exclusive use across processes.
#pragma once

#include "os/QXOsTypes.h"
#include "usb/QXOsHandle.h"

namespace plendrik {

// The file handle of the device (INVALID_HANDLE_VALUE when closed).
class QXWinFileHandle {
 public:
  ~QXWinFileHandle() { CloseFileHandle(); }
  uint32_t CreateFileHandle(const QXWString& path, uint32_t desiredAccess, uint32_t shareMode,
                            void* securityAttributes);
  void CloseFileHandle();
  QXOsHandle GetHandle() const { return mHandle; }
  bool IsOpen() const { return QXOsIsValidHandle(mHandle); }

 private:
  QXOsHandle mHandle = QXOsInvalidHandle();
};

// A named mutex (null when none).
class QXWinMutex {
 public:
  ~QXWinMutex() { CloseMutexObj(); }
  uint32_t CreateMutexObj(const QXWString& name);
  void CloseMutexObj();
  bool IsCreated() const { return mHandle != nullptr; }

 private:
  QXOsHandle mHandle = nullptr;
};

class QXWinDeviceInterface {
 public:
  struct OpenParameters {
    bool useExclusiveMutex = false;
    const QXWChar* mutexNameSuffix = nullptr;
    uint32_t desiredAccess = 0xC0000000u;  // GENERIC_READ | GENERIC_WRITE
    uint32_t shareMode = 3;                // FILE_SHARE_READ | FILE_SHARE_WRITE
    void* securityAttributes = nullptr;
  };

  QXWinDeviceInterface() = default;
  ~QXWinDeviceInterface() { CloseDevice(); }
  QXWinDeviceInterface(const QXWinDeviceInterface&) = delete;
  QXWinDeviceInterface& operator=(const QXWinDeviceInterface&) = delete;

  // Returns 0, the system error number, or QXSTATUS_IN_USE when the mutex is held elsewhere.
  uint32_t OpenDevice(const QXWString& path, const OpenParameters& parameters);
  void CloseDevice();
  bool IsOpen() const { return mFile.IsOpen(); }
  QXOsHandle GetFileHandle() const { return mFile.GetHandle(); }

  // The name of the exclusive-use mutex of a path: backslashes become underscores.
  static QXWString MutexName(const QXWString& path, const QXWChar* suffix);

 private:
  QXWinFileHandle mFile;
  QXWinMutex mMutex;
};

}  // namespace plendrik
