// The loaded library upgrades a replayed device that its configuration names through a device
// file (Model = replay), as a caller with a field recording would. A recording the library no
// longer follows must never end in success; one it cannot read leaves the device out and says
// why in the log. The host library only: the windows library talks to real devices.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "LibraryLoader.h"
#include "flashbridge.h"
#include "support/DfuSessionRecording.h"
#include "support/RecordingBuilder.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;
using EnumerateFn = QXSTATUS (*)(const char*, uint32_t*, uint32_t*, uint32_t, uint32_t, uint32_t);
using CloseEnumerationFn = QXSTATUS (*)(uint32_t);
using OpenFn = QXSTATUS (*)(uint32_t, uint32_t, uint32_t*, uint32_t);
using CloseFn = QXSTATUS (*)(uint32_t);
using LoadBufferFn = QXSTATUS (*)(const void*, uint64_t, uint32_t, uint32_t*, uint32_t);
using UnloadFn = QXSTATUS (*)(uint32_t);
using StartFn = QXSTATUS (*)(uint32_t, uint32_t, uint32_t, uint32_t);
using StatusFn = QXSTATUS (*)(uint32_t, uint32_t*, uint64_t*, uint64_t*, QXSTATUS*);

const char* kFilter = "VID=0x1209, PID=0x5F02";

// Where the session's requests are changed, and whether the upgrade must still succeed.
struct ReplayCase {
  const char* name;
  std::function<void(fbtest::RecordingBuilder&)> change;
  bool succeeds;
};

size_t Find(fbtest::RecordingBuilder& b, const std::string& fragment, size_t from = 0) {
  for (size_t i = from; i < b.Lines().size(); ++i) {
    if (b.Lines()[i].find(fragment) != std::string::npos) return i;
  }
  return b.Lines().size();
}

class ApiReplayBase : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(_WIN32)
    GTEST_SKIP() << "the windows library has no simulated devices";
#endif
    fbtest::WriteFileBytes(LoggingPath(), "[Target.LogFile]\r\nLogFile=" + mDir.File("replay.log").string() +
                                              "\r\nFlushAfterWrite=1\r\n[Logger.Global]\r\nLogLevel=4\r\n");
    fbtest::WriteFileBytes(ConfigPath(),
                           "[DriverInterface]\r\nInterfaceGUID={6E45736A-2B1B-4078-B772-B3AF2B6FDE1C}"
                           "\r\n[Simulation]\r\nDeviceFile=" +
                               mDir.File("devices.ini").string() + "\r\n");
    fbtest::WriteFileBytes(mDir.File("devices.ini"),
                           "[Device]\nModel = replay\nRecording = session.jsonl\nLatency = zero\n");
  }
  void TearDown() override {
    mLib.Unload();
    std::filesystem::remove(ConfigPath());
    std::filesystem::remove(LoggingPath());
  }

  static std::filesystem::path ConfigPath() { return fbtest::LibraryLoader::LibraryPath() + ".config.ini"; }
  static std::filesystem::path LoggingPath() { return fbtest::LibraryLoader::LibraryPath() + ".logging.ini"; }

  // Upgrades the first listed device; the final state, or 0 when none was listed.
  uint32_t Upgrade(const std::vector<uint8_t>& image) {
    EXPECT_TRUE(mLib.Load());
    const auto enumerate = mLib.Resolve<EnumerateFn>("QXDFU_EnumerateUsbDfuDevices");
    const auto closeEnumeration = mLib.Resolve<CloseEnumerationFn>("QXDFU_CloseEnumeration");
    const auto open = mLib.Resolve<OpenFn>("QXDFU_OpenDevice");
    const auto close = mLib.Resolve<CloseFn>("QXDFU_CloseDevice");
    const auto load = mLib.Resolve<LoadBufferFn>("QXDFU_LoadFirmwareFromBuffer");
    const auto unload = mLib.Resolve<UnloadFn>("QXDFU_UnloadFirmwareImage");
    const auto start = mLib.Resolve<StartFn>("QXDFU_StartUpgrade");
    const auto status = mLib.Resolve<StatusFn>("QXDFU_GetUpgradeStatus");
    if (!enumerate || !closeEnumeration || !open || !close || !load || !unload || !start || !status) {
      ADD_FAILURE() << "an export is missing";
      return 0;
    }
    uint32_t enumeration = 0;
    uint32_t count = 0;
    EXPECT_EQ(enumerate(kFilter, &enumeration, &count, 0, 0, 0), QXSTATUS_SUCCESS);
    uint32_t device = 0;
    if (count > 0) {
      EXPECT_EQ(open(enumeration, 0, &device, 0), QXSTATUS_SUCCESS);
    }
    EXPECT_EQ(closeEnumeration(enumeration), QXSTATUS_SUCCESS);
    if (device == 0) return 0;
    uint32_t imageHandle = 0;
    EXPECT_EQ(load(image.data(), image.size(), QXDFU_IMAGE_TYPE_RAW_BINARY, &imageHandle, 0), QXSTATUS_SUCCESS);
    EXPECT_EQ(start(device, imageHandle, 0, 0), QXSTATUS_SUCCESS);
    uint32_t state = QXDFU_UPGRADE_STATE_IN_PROGRESS;
    uint64_t current = 0;
    QXSTATUS completion = 0;
    const auto until = std::chrono::steady_clock::now() + 15s;
    while (state != QXDFU_UPGRADE_STATE_FINISHED && state != QXDFU_UPGRADE_STATE_FAILED &&
           std::chrono::steady_clock::now() < until) {
      EXPECT_EQ(status(device, &state, &current, nullptr, &completion), QXSTATUS_SUCCESS);
      std::this_thread::sleep_for(2ms);
    }
    if (state == QXDFU_UPGRADE_STATE_FINISHED) {
      EXPECT_EQ(current, image.size());
      EXPECT_EQ(completion, QXSTATUS_SUCCESS);
    }
    EXPECT_EQ(close(device), QXSTATUS_SUCCESS);
    EXPECT_EQ(unload(imageHandle), QXSTATUS_SUCCESS);
    return state;
  }

  fbtest::TempDir mDir;
  fbtest::LibraryLoader mLib;
};

class ApiReplay : public ApiReplayBase, public ::testing::WithParamInterface<ReplayCase> {};

TEST_P(ApiReplay, RecordedSessionDecidesTheOutcome) {
  fbtest::DfuSession session;
  for (size_t i = 0; i < 3000; ++i) session.image.push_back(static_cast<uint8_t>(i * 7));
  fbtest::RecordingBuilder recording = fbtest::DfuSessionRecording(session);
  GetParam().change(recording);
  ASSERT_TRUE(recording.Save(mDir.File("session.jsonl").string()));
  const uint32_t state = Upgrade(session.image);
  EXPECT_EQ(state, GetParam().succeeds ? QXDFU_UPGRADE_STATE_FINISHED : QXDFU_UPGRADE_STATE_FAILED);
}

const ReplayCase kCases[] = {
    {"AsRecorded", [](fbtest::RecordingBuilder&) {}, true},
    {"StatusMissing",
     [](fbtest::RecordingBuilder& b) {
       const size_t status = Find(b, "a103000000000600", Find(b, "\"setup\":\"21010100"));
       b.Lines().erase(b.Lines().begin() + static_cast<std::ptrdiff_t>(status));
     },
     false},
    {"StatusStalled",
     [](fbtest::RecordingBuilder& b) {
       std::string& line = b.Lines()[Find(b, "a103000000000600", Find(b, "\"setup\":\"21010100"))];
       const std::string answered = "\"in\":\"000000000500\",\"result\":0";
       line.replace(line.find(answered), answered.size(), "\"in\":\"\",\"result\":31");
     },
     false},
};

INSTANTIATE_TEST_SUITE_P(Sessions, ApiReplay, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

class ApiReplayRefusal : public ApiReplayBase {};

TEST_F(ApiReplayRefusal, NewerRecordingLeavesTheDeviceOutAndTheLogSaysWhy) {
  ASSERT_TRUE(fbtest::RecordingBuilder(2).Save(mDir.File("session.jsonl").string()));
  EXPECT_EQ(Upgrade({1, 2, 3}), 0u);
  mLib.Unload();
  const std::string log = fbtest::ReadFileBytes(mDir.File("replay.log"));
  EXPECT_NE(log.find("line 3: cannot replay the recording: "), std::string::npos) << log;
  EXPECT_NE(log.find("session.jsonl: record 1: recording format version 2 is newer than this library reads "
                     "(supported: 1)"),
            std::string::npos)
      << log;
}

}  // namespace
