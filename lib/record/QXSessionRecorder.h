// The session recorder: writes what the library and the devices say to each other through the
// transport and enumeration seams as JSON Lines (one record a line, flushed at once). The
// seam decorators (QXRecordingWinusbDrvApi, QXRecordingSetupApi) report each call here; the
// engine reports the images it downloads through QXSessionRecorderHook. One lock guards the
// state and the file, so calls may come from any thread. A write that fails, or an exception
// in the recorder's own work, is logged once and ends the recording, taking the decorators and
// the engine's hook away; the callers' operations never see it.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "os/QXOsMutex.h"
#include "os/QXOsTypes.h"
#include "record/QXJsonLine.h"
#include "record/QXSerialPseudonyms.h"
#include "usb/QXOsHandle.h"
#include "usb/QXSessionRecorderHook.h"
#include "usb/QXUsbTypes.h"

namespace plendrik {

class QXWinOverlapped;

// What a recording is started with: the [Recording] keys, resolved, and the header's facts.
struct QXRecordingSettings {
  QXWString file;              // the recording's path (absolute or relative to the working folder)
  bool inlineData = false;     // DFU_DNLOAD data inline (images up to kQXRecordingInlineLimit)
  bool pseudonyms = false;     // serial numbers replaced by stable pseudonyms
  std::string backend;         // "virtual-bus", "libusb" or "winusb"
  std::string libraryVersion;  // "2.60.0"
};

// Images larger than this keep their DFU_DNLOAD data by length and CRC-32 even with InlineData.
constexpr uint64_t kQXRecordingInlineLimit = uint64_t{256} << 10;

// One device node of an enumeration listing, as the recording shows it.
struct QXRecordedNode {
  std::string path;
  std::string instance;
  std::vector<std::string> hardwareIds;
  std::optional<std::string> container;  // braced lowercase GUID
  std::string interfaceClass;            // braced lowercase GUID
};

class QXSessionRecorder final : public QXSessionRecorderHook {
 public:
  // What the recording knows of an open file or WinUSB handle.
  struct Handle {
    uint64_t number = 0;
    std::optional<std::string> device;
    bool isFile = false;
    std::string path;         // the path the device file was opened on
    uint8_t serialIndex = 0;  // iSerialNumber of the device descriptor read on the handle
  };
  // A WinUSB handle's entry, taken out before the handle is freed, and whether it is recorded.
  struct Release {
    bool recording = false;
    std::optional<Handle> handle;
  };

  static QXSessionRecorder& Instance();

  // Opens (truncates) the file, writes the header and puts the decorators in front of the
  // seams and the engine's hook in place; false, with one logged warning, when the file cannot
  // be written. A running recording is stopped first.
  bool Start(const QXRecordingSettings& settings);
  // Takes the decorators and the hook away and closes the file; calls that come later are only
  // forwarded by the decorators.
  void Stop();
  bool IsRecording();
  // Ends the recording after a fault in the recorder (`what` says which): one warning, the
  // file closed, and the decorators and the engine's hook taken away, so that the library does
  // no more work for the recording. Nothing happens when nothing is being recorded.
  void Abandon(const char* what) noexcept;

  // ---- enumeration seam ----
  void OnListing(const std::string& interfaceClass, const std::vector<QXRecordedNode>& nodes);

  // ---- transport seam ----
  void OnOpen(const QXWString& path, uint32_t result, QXOsHandle file);
  void OnClose(QXOsHandle handle);
  void OnClaim(QXOsHandle file, uint32_t result, QXOsHandle winUsb);
  void OnClaimAssociated(QXOsHandle parent, uint8_t index, uint32_t result, QXOsHandle handle);
  // A WinUSB handle is about to be freed: its entry and download state are taken out now, for
  // once freed the system may give the same value to a claim on another thread. EndRelease
  // writes the release's record with the entry taken.
  Release BeginRelease(QXOsHandle winUsb);
  void EndRelease(const Release& release, uint32_t result);
  void OnDescriptor(QXOsHandle winUsb, uint8_t type, uint8_t index, uint16_t lang, uint32_t length, uint32_t result,
                    const uint8_t* data, uint32_t transferred);
  void OnAltSetting(QXOsHandle winUsb, uint8_t alt, uint32_t result);
  void OnReset(QXOsHandle winUsb, uint32_t result);
  // A query on the handle found its device gone (ERROR_DEVICE_NOT_CONNECTED): how the host
  // learns that a device left the bus between two listings, e.g. after its manifestation.
  // Writes the node's removal unless a listing has written it already.
  void OnDeviceGone(QXOsHandle winUsb);
  // A control transfer is about to be submitted: its setup and OUT data are taken now, its IN
  // data when it ends. Returns false when nothing is being recorded.
  bool OnTransferSubmit(QXOsHandle winUsb, const QXUsbSetupPacket& setup, const uint8_t* buffer,
                        QXWinOverlapped& overlapped);
  // The transfer's result is known (submission failed or completed at once, or the overlapped
  // result was collected): writes its record. Ignored for a transfer not being recorded.
  void OnTransferEnd(QXWinOverlapped& overlapped, uint32_t result, uint32_t transferred, bool submitError);
  void OnWaitTimedOut(QXOsHandle event, int32_t waitMs);
  void OnCancel(QXWinOverlapped& overlapped, uint32_t result);

  // ---- engine ----
  void OnImageDownloadStart(const uint8_t (&sha256)[32], uint64_t size) override;

 private:
  struct Pending {
    QXOsHandle winUsb = nullptr;
    QXOsHandle event = nullptr;
    QXUsbSetupPacket setup;
    const uint8_t* buffer = nullptr;
    uint64_t tSubmit = 0;
    QXJsonLine outFields;  // the record's out, or out_len/out_crc32, and offset
  };
  // The download running on a handle: the next block's offset in the image, and whether its
  // blocks are written inline.
  struct Download {
    uint64_t dnloadOffset = 0;
    bool inlineImage = true;
  };

  uint64_t Now() const;
  void Write(const std::string& line);
  void StopLocked();
  static void DetachHooks() noexcept;
  void AbandonLocked(const char* what) noexcept;
  void ImageDownloadStart(const uint8_t (&sha256)[32], uint64_t size);
  void ReleaseSettings();
  const Handle* FindHandle(QXOsHandle handle) const;
  std::vector<uint8_t> RecordedDescriptor(QXOsHandle winUsb, uint8_t type, uint8_t index, const uint8_t* data,
                                          uint32_t size);
  QXJsonLine HandleRecord(const char* type, const Handle* h, const char* handleKey);
  std::string LabelFor(const QXRecordedNode& node);
  std::optional<std::string> LabelOfPath(const std::string& path) const;

  QXOsThreadMutex mLock;
  FILE* mFile = nullptr;
  QXRecordingSettings mSettings;
  std::chrono::steady_clock::time_point mStart;
  uint64_t mNextHandle = 1;
  uint32_t mNextLabel = 1;
  std::map<std::string, std::string> mLabels;      // container or instance id -> "dN"
  std::map<std::string, std::string> mPathLabels;  // lowercase path -> "dN"
  // interface class -> lowercase path -> (label, path as listed)
  std::map<std::string, std::map<std::string, std::pair<std::string, std::string>>> mListings;
  std::map<QXOsHandle, Handle> mHandles;
  std::map<QXWinOverlapped*, Pending> mPending;
  std::map<QXOsHandle, Download> mDownloads;
  std::map<std::thread::id, uint64_t> mImageStarts;  // thread -> size of the image it starts
  QXSerialPseudonyms mPseudonyms;
};

}  // namespace plendrik
