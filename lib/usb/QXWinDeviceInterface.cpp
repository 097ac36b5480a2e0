#include "usb/QXWinDeviceInterface.h"

#include "diag/QXLog.h"
#include "usb/QXWinusbDrvApi.h"

namespace plendrik {

namespace {
constexpr size_t kMutexNameCapacity = 260;
}  // namespace

uint32_t QXWinFileHandle::CreateFileHandle(const QXWString& path, uint32_t desiredAccess, uint32_t shareMode,
                                           void* securityAttributes) {
  CloseFileHandle();
  QXOsHandle handle = QXOsInvalidHandle();
  const uint32_t err = QXGetWinusbDrvApi().CreateDeviceFile(path, desiredAccess, shareMode, securityAttributes, handle);
  if (err != 0) {
    QX_LOG_ERROR("CreateFile() failed, err={} handle={}", QXSt{err}, static_cast<const void*>(handle));
    return err;
  }
  mHandle = handle;
  return 0;
}

void QXWinFileHandle::CloseFileHandle() {
  if (IsOpen()) {
    QXGetWinusbDrvApi().CloseOsHandle(mHandle);
  }
  mHandle = QXOsInvalidHandle();
}

uint32_t QXWinMutex::CreateMutexObj(const QXWString& name) {
  CloseMutexObj();
  QXOsHandle handle = nullptr;
  bool alreadyExists = false;
  const uint32_t err = QXGetWinusbDrvApi().CreateNamedMutex(name, handle, alreadyExists);
  if (err != 0) {
    QX_LOG_ERROR("CreateMutex() failed, err={}", QXSt{err});
    return err;
  }
  mHandle = handle;
  return alreadyExists ? kQXErrorAlreadyExists : 0;
}

void QXWinMutex::CloseMutexObj() {
  if (mHandle != nullptr) {
    QXGetWinusbDrvApi().CloseOsHandle(mHandle);
    mHandle = nullptr;
  }
}

QXWString QXWinDeviceInterface::MutexName(const QXWString& path, const QXWChar* suffix) {
  QXWString name = QXW("QXWnDevMtx-") + path + (suffix != nullptr ? QXWString(suffix) : QXWString());
  for (QXWChar& c : name) {
    if (c == '\\') {
      c = '_';
    }
  }
  return name;
}

uint32_t QXWinDeviceInterface::OpenDevice(const QXWString& path, const OpenParameters& parameters) {
  CloseDevice();
  if (parameters.useExclusiveMutex) {
    const QXWString name = MutexName(path, parameters.mutexNameSuffix);
    if (name.size() > kMutexNameCapacity - 1) {
      QX_LOG_ERROR("QXStringPrintf() failed, err={}", QXSt{kQXErrorInsufficientBuffer});
      return kQXErrorInsufficientBuffer;
    }
    const uint32_t err = mMutex.CreateMutexObj(name);
    if (err != 0) {
      QX_LOG_ERROR("CreateMutexObj() failed, err={}", QXSt{err});
      CloseDevice();
      return QXSTATUS_IN_USE;
    }
  }
  const uint32_t err =
      mFile.CreateFileHandle(path, parameters.desiredAccess, parameters.shareMode, parameters.securityAttributes);
  if (err != 0) {
    QX_LOG_ERROR("CreateFileHandle({}) failed, err={}", path, QXSt{err});
    CloseDevice();
    return err;
  }
  return 0;
}

void QXWinDeviceInterface::CloseDevice() {
  mFile.CloseFileHandle();
  mMutex.CloseMutexObj();
}

}  // namespace plendrik
