#include "record/QXRecordingWinusbDrvApi.h"

#include "os/QXImmortal.h"
#include "os/QXWinErrors.h"
#include "record/QXRecorderCall.h"
#include "record/QXSessionRecorder.h"

namespace plendrik {

QXRecordingWinusbDrvApi& QXRecordingWinusbDrvApi::Instance() { return QXImmortal<QXRecordingWinusbDrvApi>(); }

QXWinusbDrvApi& QXRecordingWinusbDrvApi::Below() const {
  QXWinusbDrvApi& api = QXGetUnrecordedWinusbDrvApi();
  return &api != this ? api : QXPlatformWinusbDrvApi();
}

const char* QXRecordingWinusbDrvApi::BackendName() const { return Below().BackendName(); }

uint32_t QXRecordingWinusbDrvApi::CreateDeviceFile(const QXWString& path, uint32_t desiredAccess, uint32_t shareMode,
                                                   void* securityAttributes, QXOsHandle& file) {
  const uint32_t err = Below().CreateDeviceFile(path, desiredAccess, shareMode, securityAttributes, file);
  QXRecorderCall([&] { QXSessionRecorder::Instance().OnOpen(path, err, file); });
  return err;
}

void QXRecordingWinusbDrvApi::CloseOsHandle(QXOsHandle handle) {
  // Recorded first: once closed, the system may give the same value to a new object.
  QXRecorderCall([&] { QXSessionRecorder::Instance().OnClose(handle); });
  Below().CloseOsHandle(handle);
}

uint32_t QXRecordingWinusbDrvApi::CreateNamedMutex(const QXWString& name, QXOsHandle& mutex, bool& alreadyExists) {
  return Below().CreateNamedMutex(name, mutex, alreadyExists);
}

uint32_t QXRecordingWinusbDrvApi::CreateManualResetEvent(QXOsHandle& event) {
  return Below().CreateManualResetEvent(event);
}

uint32_t QXRecordingWinusbDrvApi::WaitForEvent(QXOsHandle event, int32_t timeoutMs) {
  const uint32_t err = Below().WaitForEvent(event, timeoutMs);
  if (err == kQXErrorWaitTimeout) {
    QXRecorderCall([&] { QXSessionRecorder::Instance().OnWaitTimedOut(event, timeoutMs); });
  }
  return err;
}

uint32_t QXRecordingWinusbDrvApi::WinUsbInitialize(QXOsHandle file, QXOsHandle& winUsb) {
  const uint32_t err = Below().WinUsbInitialize(file, winUsb);
  QXRecorderCall([&] { QXSessionRecorder::Instance().OnClaim(file, err, winUsb); });
  return err;
}

uint32_t QXRecordingWinusbDrvApi::WinUsbFree(QXOsHandle winUsb) {
  // The entry is taken first: once freed, a claim on another thread may get the same value.
  QXSessionRecorder& recorder = QXSessionRecorder::Instance();
  const QXSessionRecorder::Release release = QXRecorderCall([&] { return recorder.BeginRelease(winUsb); });
  const uint32_t err = Below().WinUsbFree(winUsb);
  QXRecorderCall([&] { recorder.EndRelease(release, err); });
  return err;
}

uint32_t QXRecordingWinusbDrvApi::WinUsbGetAssociatedInterface(QXOsHandle winUsb, uint8_t associatedIndex,
                                                               QXOsHandle& handle) {
  const uint32_t err = Below().WinUsbGetAssociatedInterface(winUsb, associatedIndex, handle);
  QXRecorderCall([&] { QXSessionRecorder::Instance().OnClaimAssociated(winUsb, associatedIndex, err, handle); });
  return err;
}

uint32_t QXRecordingWinusbDrvApi::WinUsbSetPipePolicy(QXOsHandle winUsb, uint8_t pipeId, uint32_t policyType,
                                                      uint32_t valueLength, void* value) {
  return Below().WinUsbSetPipePolicy(winUsb, pipeId, policyType, valueLength, value);
}

uint32_t QXRecordingWinusbDrvApi::WinUsbGetDescriptor(QXOsHandle winUsb, uint8_t descriptorType, uint8_t index,
                                                      uint16_t languageId, uint8_t* buffer, uint32_t length,
                                                      uint32_t& transferred) {
  const uint32_t err =
      Below().WinUsbGetDescriptor(winUsb, descriptorType, index, languageId, buffer, length, transferred);
  QXRecorderCall([&] {
    QXSessionRecorder::Instance().OnDescriptor(winUsb, descriptorType, index, languageId, length, err, buffer,
                                               transferred);
  });
  return err;
}

uint32_t QXRecordingWinusbDrvApi::WinUsbQueryInterfaceSettings(QXOsHandle winUsb, uint8_t alternateIndex,
                                                               QXUsbInterfaceDescriptor& descriptor) {
  return Below().WinUsbQueryInterfaceSettings(winUsb, alternateIndex, descriptor);
}

uint32_t QXRecordingWinusbDrvApi::WinUsbQueryDeviceInformation(QXOsHandle winUsb, uint32_t informationType,
                                                               uint32_t& length, void* buffer) {
  const uint32_t err = Below().WinUsbQueryDeviceInformation(winUsb, informationType, length, buffer);
  if (err == kQXErrorDeviceNotConnected) {
    QXRecorderCall([&] { QXSessionRecorder::Instance().OnDeviceGone(winUsb); });
  }
  return err;
}

uint32_t QXRecordingWinusbDrvApi::WinUsbSetCurrentAlternateSetting(QXOsHandle winUsb, uint8_t alternateSetting) {
  const uint32_t err = Below().WinUsbSetCurrentAlternateSetting(winUsb, alternateSetting);
  QXRecorderCall([&] { QXSessionRecorder::Instance().OnAltSetting(winUsb, alternateSetting, err); });
  return err;
}

uint32_t QXRecordingWinusbDrvApi::WinUsbControlTransfer(QXOsHandle winUsb, const QXUsbSetupPacket& setup,
                                                        uint8_t* buffer, uint32_t length, uint32_t& transferred,
                                                        QXWinOverlapped& overlapped) {
  // Registered before the submission, so that a cancel from another thread finds it.
  QXSessionRecorder& recorder = QXSessionRecorder::Instance();
  const bool recording = QXRecorderCall([&] { return recorder.OnTransferSubmit(winUsb, setup, buffer, overlapped); });
  const uint32_t err = Below().WinUsbControlTransfer(winUsb, setup, buffer, length, transferred, overlapped);
  if (recording && err != kQXErrorIoPending) {
    QXRecorderCall([&] { recorder.OnTransferEnd(overlapped, err, err == 0 ? transferred : 0, err != 0); });
  }
  return err;
}

uint32_t QXRecordingWinusbDrvApi::WinUsbGetOverlappedResult(QXOsHandle winUsb, QXWinOverlapped& overlapped,
                                                            uint32_t& transferred) {
  const uint32_t err = Below().WinUsbGetOverlappedResult(winUsb, overlapped, transferred);
  if (err != kQXErrorIoPending && err != kQXErrorIoIncomplete) {
    QXRecorderCall([&] { QXSessionRecorder::Instance().OnTransferEnd(overlapped, err, transferred, false); });
  }
  return err;
}

uint32_t QXRecordingWinusbDrvApi::CancelOverlappedIo(QXOsHandle file, QXWinOverlapped& overlapped) {
  const uint32_t err = Below().CancelOverlappedIo(file, overlapped);
  QXRecorderCall([&] { QXSessionRecorder::Instance().OnCancel(overlapped, err); });
  return err;
}

uint32_t QXRecordingWinusbDrvApi::ResetUsbDevice(QXOsHandle winUsb) {
  const uint32_t err = Below().ResetUsbDevice(winUsb);
  QXRecorderCall([&] { QXSessionRecorder::Instance().OnReset(winUsb, err); });
  return err;
}

}  // namespace plendrik
