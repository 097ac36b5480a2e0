// The transport decorator in front of a stand-in seam that answers every call at once: what the
// recorder keeps per handle when handle values are reused and when downloads run side by side
// or end early. The paths were never listed, so no handle has a device label.
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#endif

#include "record/QXRecorderCall.h"
#include "record/QXRecordingConfig.h"
#include "support/RecordingFile.h"
#include "support/TempDir.h"
#include "support/TestLogTarget.h"
#include "usb/QXWinOverlapped.h"
#include "usb/QXWinusbDrvApi.h"

namespace plendrik {
namespace {

using fbtest::JsonValue;

// Device files and WinUSB handles are numbered from their own ranges; a claim gets
// `nextWinUsb` when set (a value the system hands out again), else a fresh one.
class ImmediateSeam final : public QXWinusbDrvApi {
 public:
  uint32_t CreateDeviceFile(const QXWString&, uint32_t, uint32_t, void*, QXOsHandle& file) override {
    file = Value(0x1000 + ++mFiles);
    return 0;
  }
  void CloseOsHandle(QXOsHandle) override {}
  uint32_t CreateNamedMutex(const QXWString&, QXOsHandle& mutex, bool& alreadyExists) override {
    mutex = Value(0x3000);
    alreadyExists = false;
    return 0;
  }
  uint32_t CreateManualResetEvent(QXOsHandle& event) override {
    event = Value(0x4000 + ++mEvents);
    return 0;
  }
  uint32_t WaitForEvent(QXOsHandle, int32_t) override { return 0; }
  uint32_t WinUsbInitialize(QXOsHandle, QXOsHandle& winUsb) override {
    winUsb = nextWinUsb != nullptr ? nextWinUsb : Value(0x2000 + ++mClaims);
    return 0;
  }
  uint32_t WinUsbFree(QXOsHandle) override {
    if (duringFree) {
      std::function<void()> call = std::move(duringFree);
      duringFree = nullptr;
      call();
    }
    return 0;
  }
  uint32_t WinUsbGetAssociatedInterface(QXOsHandle, uint8_t, QXOsHandle&) override { return kQXErrorNoMoreItems; }
  uint32_t WinUsbSetPipePolicy(QXOsHandle, uint8_t, uint32_t, uint32_t, void*) override { return 0; }
  uint32_t WinUsbGetDescriptor(QXOsHandle, uint8_t, uint8_t, uint16_t, uint8_t*, uint32_t,
                               uint32_t& transferred) override {
    transferred = 0;
    return kQXErrorNotSupported;
  }
  uint32_t WinUsbQueryDeviceInformation(QXOsHandle, uint32_t, uint32_t&, void*) override { return 0; }
  uint32_t WinUsbSetCurrentAlternateSetting(QXOsHandle, uint8_t) override { return 0; }
  uint32_t WinUsbControlTransfer(QXOsHandle, const QXUsbSetupPacket&, uint8_t*, uint32_t length, uint32_t& transferred,
                                 QXWinOverlapped&) override {
    transferred = length;
    return 0;
  }
  uint32_t WinUsbGetOverlappedResult(QXOsHandle, QXWinOverlapped&, uint32_t& transferred) override {
    transferred = 0;
    return 0;
  }
  uint32_t CancelOverlappedIo(QXOsHandle, QXWinOverlapped&) override { return 0; }
  const char* BackendName() const override { return "immediate"; }

  static QXOsHandle Value(uintptr_t n) { return reinterpret_cast<QXOsHandle>(n); }

  QXOsHandle nextWinUsb = nullptr;
  std::function<void()> duringFree;

 private:
  uintptr_t mFiles = 0;
  uintptr_t mEvents = 0;
  uintptr_t mClaims = 0;
};

class RecordingDecorator : public ::testing::Test {
 protected:
  void SetUp() override {
    mSaved = QXInstalledWinusbDrvApi();
    QXSetWinusbDrvApi(&mSeam);
  }
  void TearDown() override {
    QXStopSessionRecording();
    QXSetWinusbDrvApi(mSaved);
  }

  void StartRecording(bool inlineData, const std::string& name = "session.jsonl") {
    QXRecordingSettings settings;
    settings.file = fbtest::ToQXWString(mDir.File(name));
    settings.inlineData = inlineData;
    settings.backend = "immediate";
    ASSERT_TRUE(QXStartSessionRecording(settings));
  }

  std::vector<JsonValue> Stop() {
    QXStopSessionRecording();
    return fbtest::RecordingFile(mDir.File("session.jsonl")).Records();
  }

  // A device file opened and claimed through the recording.
  QXOsHandle Claim() {
    QXOsHandle file = nullptr;
    QXOsHandle winUsb = nullptr;
    EXPECT_EQ(QXGetWinusbDrvApi().CreateDeviceFile(QXW("\\\\?\\usb#vid_1209&pid_0001#x#{guid}"), 0, 0, nullptr, file),
              0u);
    mFile = file;
    EXPECT_EQ(QXGetWinusbDrvApi().WinUsbInitialize(file, winUsb), 0u);
    return winUsb;
  }

  // A class OUT request to the DFU interface, with `length` bytes of data.
  static void Send(QXOsHandle winUsb, uint8_t request, uint16_t length) {
    std::vector<uint8_t> data(length, 0x5A);
    const QXUsbSetupPacket setup{0x21, request, 0, 0, length};
    QXWinOverlapped overlapped;
    uint32_t transferred = 0;
    EXPECT_EQ(QXGetWinusbDrvApi().WinUsbControlTransfer(winUsb, setup, data.data(), length, transferred, overlapped),
              0u);
  }

  static std::vector<JsonValue> Blocks(const std::vector<JsonValue>& records) {
    std::vector<JsonValue> blocks;
    for (const JsonValue& r : records) {
      if (r["type"].Str() == "transfer" && r["setup"].Str().rfind("2101", 0) == 0 && r.Has("offset")) {
        blocks.push_back(r);
      }
    }
    return blocks;
  }

  fbtest::TempDir mDir;
  ImmediateSeam mSeam;
  QXWinusbDrvApi* mSaved = nullptr;
  QXOsHandle mFile = nullptr;
};

// A handle value freed on one thread and handed at once to a claim on another: the late
// release must not take the new claim's entry with it.
TEST_F(RecordingDecorator, ReleaseLeavesAClaimOfTheSameValueMadeDuringTheFree) {
  StartRecording(false);
  const QXOsHandle first = Claim();
  QXOsHandle second = nullptr;
  mSeam.nextWinUsb = first;
  mSeam.duringFree = [&] { EXPECT_EQ(QXGetWinusbDrvApi().WinUsbInitialize(mFile, second), 0u); };
  EXPECT_EQ(QXGetWinusbDrvApi().WinUsbFree(first), 0u);
  ASSERT_EQ(second, first);
  Send(second, 1, 8);
  EXPECT_EQ(QXGetWinusbDrvApi().WinUsbFree(second), 0u);

  const std::vector<JsonValue> records = Stop();
  std::vector<int64_t> claims;
  std::vector<int64_t> releases;
  for (const JsonValue& r : records) {
    if (r["type"].Str() == "claim") {
      claims.push_back(r["handle"].Int());
    } else if (r["type"].Str() == "release") {
      ASSERT_FALSE(r["handle"].IsNull());
      releases.push_back(r["handle"].Int());
    }
  }
  ASSERT_EQ(claims.size(), 2u);
  EXPECT_EQ(releases, claims);
  const std::vector<JsonValue> blocks = Blocks(records);
  ASSERT_EQ(blocks.size(), 1u);
  ASSERT_FALSE(blocks[0]["handle"].IsNull());
  EXPECT_EQ(blocks[0]["handle"].Int(), claims[1]);
}

// Downloads on handles that have no device label keep their own offsets.
TEST_F(RecordingDecorator, UnlabelledHandlesKeepTheirOwnOffsets) {
  StartRecording(false);
  const QXOsHandle a = Claim();
  const QXOsHandle b = Claim();
  Send(a, 1, 100);
  Send(b, 1, 50);
  Send(a, 1, 100);
  Send(b, 1, 50);
  const std::vector<JsonValue> blocks = Blocks(Stop());
  ASSERT_EQ(blocks.size(), 4u);
  std::vector<int64_t> offsets;
  for (const JsonValue& block : blocks) {
    offsets.push_back(block["offset"].Int());
  }
  EXPECT_EQ(offsets, (std::vector<int64_t>{0, 0, 100, 50}));
  EXPECT_NE(blocks[0]["handle"].Int(), blocks[1]["handle"].Int());
}

// A download that ends before its image's first block (DFU_ABORT, the closing zero-length
// DFU_DNLOAD, or the handle released): the next block starts at 0 and the image announced
// for the ended download says nothing about it (it is inline, as an unannounced block is).
enum class Ending { Abort, ZeroLengthDnload, Release };

const char* Name(Ending ending) {
  switch (ending) {
    case Ending::Abort:
      return "Abort";
    case Ending::ZeroLengthDnload:
      return "ZeroLengthDnload";
    case Ending::Release:
      return "Release";
  }
  return "";
}

void PrintTo(Ending ending, std::ostream* os) { *os << Name(ending); }

class RecordingDecoratorEnding : public RecordingDecorator, public ::testing::WithParamInterface<Ending> {};

TEST_P(RecordingDecoratorEnding, NextDownloadStartsAfresh) {
  StartRecording(true);
  QXOsHandle winUsb = Claim();
  Send(winUsb, 1, 100);
  const uint8_t sha256[32] = {};
  QXGetActiveSessionRecorder()->OnImageDownloadStart(sha256, kQXRecordingInlineLimit + 1);
  switch (GetParam()) {
    case Ending::Abort:
      Send(winUsb, 6, 0);
      break;
    case Ending::ZeroLengthDnload:
      Send(winUsb, 1, 0);
      break;
    case Ending::Release:
      mSeam.nextWinUsb = winUsb;
      EXPECT_EQ(QXGetWinusbDrvApi().WinUsbFree(winUsb), 0u);
      winUsb = Claim();
      break;
  }
  Send(winUsb, 1, 16);
  const std::vector<JsonValue> blocks = Blocks(Stop());
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[1]["offset"].Int(), 0);
  EXPECT_EQ(blocks[1]["out"].Str(), "5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a");
}

INSTANTIATE_TEST_SUITE_P(Endings, RecordingDecoratorEnding,
                         ::testing::Values(Ending::Abort, Ending::ZeroLengthDnload, Ending::Release),
                         [](const ::testing::TestParamInfo<Ending>& info) { return std::string(Name(info.param)); });

// A fault in the recorder (an exception from its bookkeeping, a write that fails) ends the
// recording with one warning and takes the decorators and the engine's hook away, so that the
// seams answer unrecorded and downloads hash no image; the caller's calls go on unchanged.
enum class Fault { Throws, WriteFails };

class RecordingDecoratorFault : public RecordingDecorator, public ::testing::WithParamInterface<Fault> {};

TEST_P(RecordingDecoratorFault, EndsTheRecordingAndTakesTheHooksAway) {
  TestLogTarget log;
#if !defined(_WIN32)
  int reader = -1;
  void (*savedPipeHandler)(int) = SIG_DFL;
#endif
  if (GetParam() == Fault::Throws) {
    StartRecording(false);
  } else {
#if defined(_WIN32)
    GTEST_SKIP() << "a write made to fail needs a FIFO";
#else
    // A FIFO whose reader goes away after the header: every later write fails (EPIPE).
    const std::string fifo = mDir.File("session.fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    savedPipeHandler = std::signal(SIGPIPE, SIG_IGN);
    StartRecording(false, "session.fifo");
    close(reader);
#endif
  }
  ASSERT_EQ(QXGetActiveSessionRecorder(), &QXSessionRecorder::Instance());
  ASSERT_NE(&QXGetWinusbDrvApi(), &mSeam);

  for (int i = 0; i < 2; ++i) {
    if (GetParam() == Fault::Throws) {
      EXPECT_FALSE(QXRecorderCall([]() -> bool { throw std::bad_alloc(); }));
    } else {
      // Written through the decorator while it is still in place; the second goes below it.
      QXOsHandle file = nullptr;
      EXPECT_EQ(QXGetWinusbDrvApi().CreateDeviceFile(QXW("\\\\?\\usb#x"), 0, 0, nullptr, file), 0u);
      EXPECT_NE(file, nullptr);
    }
  }
#if !defined(_WIN32)
  if (GetParam() == Fault::WriteFails) {
    std::signal(SIGPIPE, savedPipeHandler);
  }
#endif
  EXPECT_EQ(QXGetActiveSessionRecorder(), nullptr);
  EXPECT_EQ(&QXGetWinusbDrvApi(), &mSeam);
  EXPECT_FALSE(QXSessionRecorder::Instance().IsRecording());
  EXPECT_EQ(log.Count("recording stops"), 1u) << log.Dump();
}

INSTANTIATE_TEST_SUITE_P(Faults, RecordingDecoratorFault, ::testing::Values(Fault::Throws, Fault::WriteFails),
                         [](const ::testing::TestParamInfo<Fault>& info) {
                           return std::string(info.param == Fault::Throws ? "Throws" : "WriteFails");
                         });

}  // namespace
}  // namespace plendrik
