#include "record/QXSessionRecorder.h"

#include <ctime>
#include <utility>

#include "diag/QXDebugPrintf.h"
#include "diag/QXLog.h"
#include "discovery/QXWinSetupApi.h"
#include "image/QXCrc32.h"
#include "os/QXImmortal.h"
#include "os/QXOsFile.h"
#include "os/QXOsString.h"
#include "record/QXRecorderCall.h"
#include "record/QXRecordingSetupApi.h"
#include "record/QXRecordingWinusbDrvApi.h"
#include "usb/QXWinOverlapped.h"
#include "usb/QXWinusbDrvApi.h"

namespace plendrik {

namespace {

constexpr uint8_t kClassOut = 0x21;
constexpr uint8_t kDfuDnload = 1;
constexpr uint8_t kDfuAbort = 6;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kDeviceDescriptor = 1;
constexpr uint8_t kStringDescriptor = 3;
constexpr size_t kSerialIndexOffset = 16;  // iSerialNumber in the device descriptor

bool IsDnloadData(const QXUsbSetupPacket& setup) {
  return setup.bmRequestType == kClassOut && setup.bRequest == kDfuDnload && setup.wLength > 0;
}

void SetupBytes(const QXUsbSetupPacket& setup, uint8_t (&out)[8]) {
  out[0] = setup.bmRequestType;
  out[1] = setup.bRequest;
  out[2] = static_cast<uint8_t>(setup.wValue);
  out[3] = static_cast<uint8_t>(setup.wValue >> 8);
  out[4] = static_cast<uint8_t>(setup.wIndex);
  out[5] = static_cast<uint8_t>(setup.wIndex >> 8);
  out[6] = static_cast<uint8_t>(setup.wLength);
  out[7] = static_cast<uint8_t>(setup.wLength >> 8);
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
#if defined(_WIN32)
  gmtime_s(&parts, &now);
#else
  gmtime_r(&now, &parts);
#endif
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

}  // namespace

QXSessionRecorder& QXSessionRecorder::Instance() { return QXImmortal<QXSessionRecorder>(); }

uint64_t QXSessionRecorder::Now() const {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - mStart).count());
}

bool QXSessionRecorder::Start(const QXRecordingSettings& settings) {
  Stop();
  QXOsLockGuard lock(mLock);
  mSettings = settings;
  mStart = std::chrono::steady_clock::now();
  mNextHandle = 1;
  mNextLabel = 1;
  mFile = QXOsOpenFile(settings.file, "wb", true);
  if (mFile == nullptr) {
    const std::string path = QXUtf16ToUtf8(settings.file);
    QX_LOG_WARN("cannot open the recording file {}, nothing is recorded", path);
    QXDebugPrintf("%s: WARNING: %s: cannot open the recording file %s, nothing is recorded\n", QXGetModuleName(),
                  "plendrik::QXSessionRecorder::Start", path.c_str());
    ReleaseSettings();
    return false;
  }
  Write(QXJsonLine()
            .Str("type", "header")
            .Str("format", "flashbridge-recording")
            .Int("version", 1)
            .Str("library", settings.libraryVersion)
            .Str("time", UtcNow())
            .Str("backend", settings.backend)
            .Bool("inline_data", settings.inlineData)
            .Bool("pseudonyms", settings.pseudonyms)
            .Text());
  if (mFile == nullptr) {
    return false;
  }
  // Installed under the lock, so that a failing write, which takes them away under it, cannot
  // come between the start and their installation.
  QXWinSetRecordingSetupApi(&QXRecordingSetupApi::Instance());
  QXSetRecordingWinusbDrvApi(&QXRecordingWinusbDrvApi::Instance());
  QXSetActiveSessionRecorder(this);
  return true;
}

void QXSessionRecorder::Stop() {
  QXOsLockGuard lock(mLock);
  DetachHooks();
  StopLocked();
  // Nothing stays allocated: the recorder's storage goes with the module when it unloads. (A
  // string assigned an empty one would keep its buffer; swapped out, the buffer is freed.)
  ReleaseSettings();
  mLabels.clear();
  mPathLabels.clear();
  mListings.clear();
  mHandles.clear();
  mDownloads.clear();
  mImageStarts.clear();
  mPseudonyms.Clear();
}

void QXSessionRecorder::ReleaseSettings() {
  QXRecordingSettings released;
  std::swap(mSettings, released);
}

void QXSessionRecorder::StopLocked() {
  if (mFile != nullptr) {
    std::fclose(mFile);
    mFile = nullptr;
  }
  mPending.clear();
}

bool QXSessionRecorder::IsRecording() {
  QXOsLockGuard lock(mLock);
  return mFile != nullptr;
}

void QXSessionRecorder::Write(const std::string& line) {
  if (mFile == nullptr) {
    return;
  }
  const bool written = std::fwrite(line.data(), 1, line.size(), mFile) == line.size() &&
                       std::fputc('\n', mFile) != EOF && std::fflush(mFile) == 0;
  if (!written) {
    AbandonLocked("writing the recording file failed");
  }
}

void QXSessionRecorder::DetachHooks() noexcept {
  // Atomic stores: the seams answer unrecorded and the engine hashes no more images from now
  // on, at the cost of one atomic load each.
  QXSetActiveSessionRecorder(nullptr);
  QXSetRecordingWinusbDrvApi(nullptr);
  QXWinSetRecordingSetupApi(nullptr);
}

void QXSessionRecorder::Abandon(const char* what) noexcept {
  QXOsLockGuard lock(mLock);
  AbandonLocked(what);
}

void QXSessionRecorder::AbandonLocked(const char* what) noexcept {
  if (mFile == nullptr) {
    return;
  }
  DetachHooks();
  StopLocked();
  try {
    const std::string path = QXUtf16ToUtf8(mSettings.file);
    QX_LOG_WARN("{} ({}), recording stops", what, path);
    QXDebugPrintf("%s: WARNING: %s: %s (%s), recording stops\n", QXGetModuleName(),
                  "plendrik::QXSessionRecorder::Abandon", what, path.c_str());
  } catch (...) {
    // Out of memory for the warning as well: the recording has stopped all the same.
  }
}

// ---- labels ----

std::string QXSessionRecorder::LabelFor(const QXRecordedNode& node) {
  const std::string key = node.container.has_value() ? *node.container : QXAsciiUpper(node.instance);
  auto found = mLabels.find(key);
  if (found == mLabels.end()) {
    found = mLabels.emplace(key, "d" + std::to_string(mNextLabel++)).first;
  }
  return found->second;
}

std::optional<std::string> QXSessionRecorder::LabelOfPath(const std::string& path) const {
  const auto found = mPathLabels.find(QXAsciiLower(path));
  if (found == mPathLabels.end()) {
    return std::nullopt;
  }
  return found->second;
}

void QXSessionRecorder::OnListing(const std::string& interfaceClass, const std::vector<QXRecordedNode>& nodes) {
  QXOsLockGuard lock(mLock);
  if (mFile == nullptr) {
    return;
  }
  std::map<std::string, std::pair<std::string, std::string>>& previous = mListings[interfaceClass];
  std::map<std::string, std::pair<std::string, std::string>> now;
  for (const QXRecordedNode& node : nodes) {
    if (mSettings.pseudonyms) {
      mPseudonyms.LearnFromInstanceId(node.instance);
    }
    const std::string label = LabelFor(node);
    const std::string path = QXAsciiLower(node.path);
    mPathLabels[path] = label;
    now[path] = {label, node.path};
    if (previous.count(path) != 0) {
      continue;
    }
    std::vector<std::string> hardwareIds;
    for (const std::string& id : node.hardwareIds) {
      hardwareIds.push_back(mPseudonyms.Masked(id, '\\'));
    }
    QXJsonLine text;
    text.Str("path", mPseudonyms.Masked(node.path, '#'))
        .Str("instance", mPseudonyms.Masked(node.instance, '\\'))
        .StrArray("hardware_ids", hardwareIds);
    if (node.container.has_value()) {
      text.Str("container", *node.container);
    } else {
      text.Null("container");
    }
    text.Str("class", node.interfaceClass);
    Write(QXJsonLine().Str("type", "arrival").UInt("t", Now()).Str("device", label).Raw("node", text.Text()).Text());
  }
  for (const auto& [key, gone] : previous) {
    if (now.count(key) == 0) {
      Write(QXJsonLine()
                .Str("type", "removal")
                .UInt("t", Now())
                .Str("device", gone.first)
                .Str("path", mPseudonyms.Masked(gone.second, '#'))
                .Text());
    }
  }
  previous = std::move(now);
}

// ---- transport ----

const QXSessionRecorder::Handle* QXSessionRecorder::FindHandle(QXOsHandle handle) const {
  const auto found = mHandles.find(handle);
  return found == mHandles.end() ? nullptr : &found->second;
}

std::vector<uint8_t> QXSessionRecorder::RecordedDescriptor(QXOsHandle winUsb, uint8_t type, uint8_t index,
                                                           const uint8_t* data, uint32_t size) {
  const auto found = mHandles.find(winUsb);
  Handle* h = found == mHandles.end() ? nullptr : &found->second;
  if (type == kDeviceDescriptor && h != nullptr && size > kSerialIndexOffset && data[1] == kDeviceDescriptor) {
    h->serialIndex = data[kSerialIndexOffset];
  }
  if (type != kStringDescriptor || index == 0) {
    return std::vector<uint8_t>(data, data + size);
  }
  // The serial string: learnt, so that it is masked wherever it shows, even when no instance id
  // names it (a composite device's function).
  if (mSettings.pseudonyms && h != nullptr && index == h->serialIndex) {
    return mPseudonyms.LearnFromSerialDescriptor(data, size);
  }
  return mPseudonyms.MaskedStringDescriptor(data, size);
}

QXJsonLine QXSessionRecorder::HandleRecord(const char* type, const Handle* h, const char* handleKey) {
  QXJsonLine line;
  line.Str("type", type).UInt("t", Now());
  if (h != nullptr && h->device.has_value()) {
    line.Str("device", *h->device);
  } else {
    line.Null("device");
  }
  if (h != nullptr) {
    line.UInt(handleKey, h->number);
  } else {
    line.Null(handleKey);
  }
  return line;
}

void QXSessionRecorder::OnOpen(const QXWString& path, uint32_t result, QXOsHandle file) {
  QXOsLockGuard lock(mLock);
  if (mFile == nullptr) {
    return;
  }
  const std::string text = QXUtf16ToUtf8(path);
  const std::optional<std::string> device = LabelOfPath(text);
  QXJsonLine line;
  line.Str("type", "open").UInt("t", Now());
  if (device.has_value()) {
    line.Str("device", *device);
  } else {
    line.Null("device");
  }
  line.Str("path", mPseudonyms.Masked(text, '#')).UInt("result", result);
  if (result == 0) {
    Handle h{mNextHandle++, device, true, text};
    mHandles[file] = h;
    line.UInt("file", h.number);
  } else {
    line.Null("file");
  }
  Write(line.Text());
}

void QXSessionRecorder::OnClose(QXOsHandle handle) {
  QXOsLockGuard lock(mLock);
  const auto found = mHandles.find(handle);
  if (mFile == nullptr || found == mHandles.end() || !found->second.isFile) {
    return;  // events and mutexes are closed the same way
  }
  Write(HandleRecord("close", &found->second, "file").Text());
  mHandles.erase(found);
}

void QXSessionRecorder::OnClaim(QXOsHandle file, uint32_t result, QXOsHandle winUsb) {
  QXOsLockGuard lock(mLock);
  if (mFile == nullptr) {
    return;
  }
  const Handle* f = FindHandle(file);
  QXJsonLine line = HandleRecord("claim", f, "file");
  line.UInt("result", result);
  if (result == 0) {
    Handle h{mNextHandle++, f != nullptr ? f->device : std::nullopt, false, f != nullptr ? f->path : std::string()};
    mHandles[winUsb] = h;
    line.UInt("handle", h.number);
  } else {
    line.Null("handle");
  }
  Write(line.Text());
}

void QXSessionRecorder::OnClaimAssociated(QXOsHandle parent, uint8_t index, uint32_t result, QXOsHandle handle) {
  QXOsLockGuard lock(mLock);
  if (mFile == nullptr) {
    return;
  }
  const Handle* p = FindHandle(parent);
  QXJsonLine line = HandleRecord("claim", p, "parent");
  line.UInt("index", index).UInt("result", result);
  if (result == 0) {
    Handle h{mNextHandle++, p != nullptr ? p->device : std::nullopt, false, p != nullptr ? p->path : std::string()};
    mHandles[handle] = h;
    line.UInt("handle", h.number);
  } else {
    line.Null("handle");
  }
  Write(line.Text());
}

void QXSessionRecorder::OnDeviceGone(QXOsHandle winUsb) {
  QXOsLockGuard lock(mLock);
  const Handle* h = FindHandle(winUsb);
  if (mFile == nullptr || h == nullptr || !h->device.has_value()) {
    return;
  }
  // Taken out of the listings, so that the next listing does not report the removal again.
  bool listed = false;
  for (auto& [interfaceClass, nodes] : mListings) {
    listed = nodes.erase(QXAsciiLower(h->path)) != 0 || listed;
  }
  if (listed) {
    Write(QXJsonLine()
              .Str("type", "removal")
              .UInt("t", Now())
              .Str("device", *h->device)
              .Str("path", mPseudonyms.Masked(h->path, '#'))
              .Text());
  }
}

QXSessionRecorder::Release QXSessionRecorder::BeginRelease(QXOsHandle winUsb) {
  QXOsLockGuard lock(mLock);
  Release release;
  if (mFile == nullptr) {
    return release;
  }
  release.recording = true;
  const auto found = mHandles.find(winUsb);
  if (found != mHandles.end()) {
    release.handle = std::move(found->second);
    mHandles.erase(found);
  }
  mDownloads.erase(winUsb);
  // An image announced on this thread whose download ended before its first block.
  mImageStarts.erase(std::this_thread::get_id());
  return release;
}

void QXSessionRecorder::EndRelease(const Release& release, uint32_t result) {
  QXOsLockGuard lock(mLock);
  if (mFile == nullptr || !release.recording) {
    return;
  }
  const Handle* h = release.handle.has_value() ? &*release.handle : nullptr;
  Write(HandleRecord("release", h, "handle").UInt("result", result).Text());
}

void QXSessionRecorder::OnDescriptor(QXOsHandle winUsb, uint8_t type, uint8_t index, uint16_t lang, uint32_t length,
                                     uint32_t result, const uint8_t* data, uint32_t transferred) {
  QXOsLockGuard lock(mLock);
  if (mFile == nullptr) {
    return;
  }
  const uint32_t n = result == 0 && data != nullptr ? (transferred < length ? transferred : length) : 0;
  const std::vector<uint8_t> bytes = RecordedDescriptor(winUsb, type, index, data, n);
  Write(HandleRecord("descriptor", FindHandle(winUsb), "handle")
            .UInt("dtype", type)
            .UInt("index", index)
            .UInt("lang", lang)
            .UInt("length", length)
            .UInt("result", result)
            .Hex("data", bytes.data(), bytes.size())
            .Text());
}

void QXSessionRecorder::OnAltSetting(QXOsHandle winUsb, uint8_t alt, uint32_t result) {
  QXOsLockGuard lock(mLock);
  if (mFile == nullptr) {
    return;
  }
  Write(HandleRecord("alt_setting", FindHandle(winUsb), "handle").UInt("alt", alt).UInt("result", result).Text());
}

void QXSessionRecorder::OnReset(QXOsHandle winUsb, uint32_t result) {
  QXOsLockGuard lock(mLock);
  if (mFile == nullptr) {
    return;
  }
  Write(HandleRecord("reset", FindHandle(winUsb), "handle").UInt("result", result).Text());
}

bool QXSessionRecorder::OnTransferSubmit(QXOsHandle winUsb, const QXUsbSetupPacket& setup, const uint8_t* buffer,
                                         QXWinOverlapped& overlapped) {
  QXOsLockGuard lock(mLock);
  if (mFile == nullptr) {
    return false;
  }
  Pending p;
  p.winUsb = winUsb;
  p.event = overlapped.EventHandle();
  p.setup = setup;
  p.buffer = buffer;
  p.tSubmit = Now();
  const bool out = (setup.bmRequestType & 0x80) == 0 && setup.wLength > 0 && buffer != nullptr;
  if (IsDnloadData(setup) && buffer != nullptr) {
    Download& state = mDownloads[winUsb];
    const auto started = mImageStarts.find(std::this_thread::get_id());
    if (started != mImageStarts.end()) {
      // The first block of an image this thread announced.
      state.dnloadOffset = 0;
      state.inlineImage = started->second <= kQXRecordingInlineLimit;
      mImageStarts.erase(started);
    }
    QXJsonLine fields;
    if (mSettings.inlineData && state.inlineImage) {
      fields.Hex("out", buffer, setup.wLength);
    } else {
      char crc[16];
      std::snprintf(crc, sizeof(crc), "%08x", QXCrc32(buffer, setup.wLength));
      fields.UInt("out_len", setup.wLength).Str("out_crc32", crc);
    }
    fields.UInt("offset", state.dnloadOffset);
    state.dnloadOffset += setup.wLength;
    p.outFields = fields;
  } else {
    if (setup.bmRequestType == kClassOut &&
        ((setup.bRequest == kDfuDnload && setup.wLength == 0) || setup.bRequest == kDfuAbort)) {
      // The download on the handle ends (or never started): the next one starts at byte 0,
      // and an image this thread announced without sending a block is forgotten.
      mDownloads.erase(winUsb);
      mImageStarts.erase(std::this_thread::get_id());
    }
    if (out) {
      p.outFields.Hex("out", buffer, setup.wLength);
    }
  }
  mPending[&overlapped] = std::move(p);
  return true;
}

void QXSessionRecorder::OnTransferEnd(QXWinOverlapped& overlapped, uint32_t result, uint32_t transferred,
                                      bool submitError) {
  QXOsLockGuard lock(mLock);
  const auto found = mPending.find(&overlapped);
  if (found == mPending.end()) {
    return;
  }
  const Pending p = std::move(found->second);
  mPending.erase(found);
  if (mFile == nullptr) {
    return;
  }
  const Handle* h = FindHandle(p.winUsb);
  QXJsonLine line;
  line.Str("type", "transfer").UInt("t_submit", p.tSubmit).UInt("t_complete", Now());
  if (h != nullptr && h->device.has_value()) {
    line.Str("device", *h->device);
  } else {
    line.Null("device");
  }
  if (h != nullptr) {
    line.UInt("handle", h->number);
  } else {
    line.Null("handle");
  }
  uint8_t setup[8];
  SetupBytes(p.setup, setup);
  line.Hex("setup", setup, sizeof(setup)).Append(p.outFields);
  if ((p.setup.bmRequestType & 0x80) != 0) {
    const uint32_t n =
        result == 0 && p.buffer != nullptr ? (transferred < p.setup.wLength ? transferred : p.setup.wLength) : 0;
    const bool descriptor = p.setup.bmRequestType == 0x80 && p.setup.bRequest == kGetDescriptor;
    const std::vector<uint8_t> in = descriptor ? RecordedDescriptor(p.winUsb, static_cast<uint8_t>(p.setup.wValue >> 8),
                                                                    static_cast<uint8_t>(p.setup.wValue), p.buffer, n)
                                               : std::vector<uint8_t>(p.buffer, p.buffer + n);
    line.Hex("in", in.data(), in.size());
  }
  line.UInt("result", result).UInt("transferred", transferred);
  if (submitError) {
    line.Bool("submit_error", true);
  }
  Write(line.Text());
}

void QXSessionRecorder::OnWaitTimedOut(QXOsHandle event, int32_t waitMs) {
  QXOsLockGuard lock(mLock);
  if (mFile == nullptr) {
    return;
  }
  for (const auto& [overlapped, p] : mPending) {
    if (p.event == event) {
      Write(HandleRecord("timeout", FindHandle(p.winUsb), "handle").Int("wait_ms", waitMs).Text());
      return;
    }
  }
}

void QXSessionRecorder::OnCancel(QXWinOverlapped& overlapped, uint32_t result) {
  QXOsLockGuard lock(mLock);
  const auto found = mPending.find(&overlapped);
  if (mFile == nullptr || found == mPending.end()) {
    return;
  }
  Write(HandleRecord("cancel", FindHandle(found->second.winUsb), "handle").UInt("result", result).Text());
}

// ---- engine ----

void QXSessionRecorder::OnImageDownloadStart(const uint8_t (&sha256)[32], uint64_t size) {
  // Called by the engine: nothing the recorder throws reaches the download.
  QXRecorderCall([&] { ImageDownloadStart(sha256, size); });
}

void QXSessionRecorder::ImageDownloadStart(const uint8_t (&sha256)[32], uint64_t size) {
  QXOsLockGuard lock(mLock);
  if (mFile == nullptr) {
    return;
  }
  mImageStarts[std::this_thread::get_id()] = size;
  Write(QXJsonLine()
            .Str("type", "image")
            .UInt("t", Now())
            .Str("sha256", QXJsonLine::HexText(sha256, sizeof(sha256)))
            .UInt("size", size)
            .Text());
  if (mSettings.inlineData && size > kQXRecordingInlineLimit) {
    Write(QXJsonLine()
              .Str("type", "note")
              .UInt("t", Now())
              .Str("text", "image of " + std::to_string(size) + " bytes is larger than " +
                               std::to_string(kQXRecordingInlineLimit) +
                               ": its DFU_DNLOAD data is recorded by length and CRC-32, not inline")
              .Text());
  }
}

}  // namespace plendrik
