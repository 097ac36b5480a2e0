// Whole upgrades through the exported functions against replayed devices: a session is recorded
// live against a simulated DFU device by the library's own recorder (switched on by the
// configuration file, as a user records in the field), then the engine meets the recording
// instead of the device. An unchanged recording must give the live outcome and play
// to its end; a recording that the engine no longer follows must stop at the right record and
// never let the upgrade succeed.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "api/DfuApi.h"
#include "device/DfuDevicePortFactory.h"
#include "device/DfuDevicePortUsbDfu.h"
#include "discovery/EnumerationTestBus.h"
#include "flashbridge.h"
#include "image/ImageTestFiles.h"
#include "os/QXWinErrors.h"
#include "sim/SimDeviceFile.h"
#include "sim/SimDfuDevice.h"
#include "sim/SimRecording.h"
#include "sim/SimReplayModel.h"
#include "sim/SimWinusbDrvApi.h"
#include "sim/VirtualUsbBus.h"
#include "support/ApiUpgradeSteps.h"
#include "support/CompositeDevice.h"
#include "support/LibraryRecording.h"
#include "support/RecordingBuilder.h"
#include "support/ReplayModelReader.h"
#include "support/ShortTimeoutPort.h"
#include "support/TempDir.h"
#include "usb/QXWinusbDrvApi.h"

namespace plendrik {
namespace {

using namespace std::chrono_literals;
using fbimg::Bytes;
using fbimg::Filler;
using fbtest::RecordingBuilder;
using sim::SimDfuDevice;
using sim::SimDfuDeviceConfig;
using sim::SimDfuFault;
using sim::SimDfuFaultAction;
using sim::SimDfuRequestKind;
using sim::SimReplayLatency;
using sim::SimReplayModel;
using sim::SimReplayModelPtr;
using sim::SimRunMode;

constexpr uint16_t kVid = 0x1209;
constexpr uint16_t kAppPid = 0x5B01;
constexpr uint16_t kBootPid = 0x5B02;

using fbtest::ShortTimeoutPort;
using fbtest::WaitUntilFinished;

std::string Filter(uint16_t pid) { return fbtest::VidPidFilter(kVid, pid); }

// What a caller sees of an upgrade.
struct Outcome {
  uint32_t state = 0;
  QXSTATUS status = 0;
  uint64_t bytes = 0;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
  char status[16];
  std::snprintf(status, sizeof(status), "0x%08x", static_cast<unsigned>(o.status));
  return out << "{state " << o.state << ", status " << status << ", bytes " << o.bytes << "}";
}

// The record number (line) of the first record that contains every one of the fragments, from
// `from` on; 0 when none does.
size_t FindRecord(RecordingBuilder& recording, const std::vector<std::string>& fragments, size_t from = 1) {
  std::vector<std::string>& lines = recording.Lines();
  for (size_t i = from - 1; i < lines.size(); ++i) {
    if (std::all_of(fragments.begin(), fragments.end(),
                    [&](const std::string& f) { return lines[i].find(f) != std::string::npos; })) {
      return i + 1;
    }
  }
  return 0;
}

const std::string kGetStatus = "\"setup\":\"a103000000000600\"";
std::string DnloadBlock(uint16_t block) {
  return "\"setup\":\"" + fbtest::SetupHex(0x21, 0x01, block, 0, 0).substr(0, 8);
}

class ApiReplayTest : public EnumerationBusTest {
 protected:
  void SetUp() override {
    EnumerationBusTest::SetUp();
    mSavedGuid = gDfuApi.GetDriverInterfaceGuid();
    gDfuApi.SetDriverInterfaceGuid(kTestGuidText);
    mSavedApi = QXInstalledWinusbDrvApi();
    QXSetWinusbDrvApi(&sim::SimWinusbDrvApi::Instance());
    SetDfuDevicePortFactory(nullptr);
  }

  void TearDown() override {
    if (mLive) mLive->Unplug();
    for (const SimReplayModelPtr& model : mReplays) model->Unplug();
    QXStopSessionRecording();
    SetDfuDevicePortFactory(nullptr);
    QXSetWinusbDrvApi(mSavedApi);
    gDfuApi.SetDriverInterfaceGuid(mSavedGuid);
    EnumerationBusTest::TearDown();
  }

  static SimDfuDeviceConfig Config(SimRunMode start = SimRunMode::Application) {
    SimDfuDeviceConfig config;
    config.vendorId = kVid;
    config.applicationProductId = kAppPid;
    config.bootloaderProductId = kBootPid;
    config.serialNumber = QXW("RPL0001");
    config.identity.interfaceClassGuid = TestGuid();
    // Both run modes in one container, as the system shows one physical device.
    config.identity.containerId = TestGuid("{5d2f0a11-7c3e-4b9a-8e61-0f4a2b3c4d5e}");
    config.startMode = start;
    config.wTransferSize = 1024;
    config.detachDelay = 0us;
    config.rejoinDelay = 20ms;
    config.randomSeed = 7;
    return config;
  }

  // The caller's upgrade: from the application (detach, find the bootloader) or straight in
  // the bootloader, the download, then the caller's finish and close.
  Outcome RunUpgrade(const Bytes& image, SimRunMode start) {
    const fbtest::UpgradeResult r = fbtest::RunCallerUpgrade(
        {start == SimRunMode::Application ? Filter(kAppPid) : "", Filter(kBootPid), 0, false}, image);
    return Outcome{r.state, r.completionStatus, r.currentBytes};
  }

  static std::string Options(bool inlineData, bool pseudonyms) {
    return std::string("File=session.jsonl\r\nInlineData=") + (inlineData ? "yes" : "no") +
           "\r\nPseudonyms=" + (pseudonyms ? "yes" : "no") + "\r\n";
  }

  // Runs the upgrade against a live simulated device with the library recording the session
  // (the [Recording] lines given), and returns the recording.
  RecordingBuilder Record(const SimDfuDeviceConfig& config, const Bytes& image, Outcome* outcome = nullptr,
                          const std::string& options = Options(false, false)) {
    fbtest::LibraryRecording recording;
    EXPECT_EQ(recording.ReadConfiguration(options), QXSTATUS_SUCCESS);
    mLive = SimDfuDevice::Create(sim::VirtualUsbBus::Instance(), config);
    EXPECT_TRUE(mLive->Plug());
    const Outcome live = RunUpgrade(image, config.startMode);
    if (outcome) *outcome = live;
    const std::string text = recording.Stop();
    mLive->Unplug();
    mLive.reset();
    return RecordingBuilder::FromText(text);
  }

  SimReplayModelPtr Replay(const RecordingBuilder& recording, SimReplayLatency latency) {
    const sim::SimRecordingResult loaded = sim::ParseSimRecording(recording.Text(), "session.jsonl");
    EXPECT_EQ(loaded.error, "");
    if (!loaded.recording) return nullptr;
    std::string error;
    SimReplayModelPtr model =
        SimReplayModel::Create(sim::VirtualUsbBus::Instance(), loaded.recording, "", latency, &error);
    EXPECT_NE(model, nullptr) << error;
    if (model) {
      EXPECT_TRUE(model->Plug());
      mReplays.push_back(model);
    }
    return model;
  }

  std::string mSavedGuid;
  QXWinusbDrvApi* mSavedApi = nullptr;
  std::shared_ptr<SimDfuDevice> mLive;
  std::vector<SimReplayModelPtr> mReplays;
};

// ---- an unchanged recording gives the live outcome ----

struct SessionCase {
  const char* name;
  SimRunMode start;
  std::vector<SimDfuFault> faults;
  bool shortTimeouts = false;
  bool composite = false;  // the application has an audio function beside its DFU interface
  // Recorded with these [Recording] options.
  bool inlineData = false;
  bool pseudonyms = false;
  // Not manifestation tolerant: the device resets itself after manifestation, or (strict)
  // waits in dfuMANIFEST-WAIT-RESET for the host's USB reset.
  bool resetsAfterManifestation = false;
  bool strict = false;
  // No container: the recorder labels the bootloader another device than the application.
  bool noContainer = false;
};

class ReplayedSession : public ApiReplayTest,
                        public ::testing::WithParamInterface<std::tuple<SessionCase, SimReplayLatency>> {};

TEST_P(ReplayedSession, GivesTheLiveOutcomeAndPlaysToTheEnd) {
  const auto& [session, latency] = GetParam();
  if (session.shortTimeouts) SetDfuDevicePortFactory(&ShortTimeoutPort);
  SimDfuDeviceConfig config = Config(session.start);
  config.faults = session.faults;
  if (session.composite) fbtest::AddAudioFunctionBeforeDfu(config);
  if (session.resetsAfterManifestation) {
    config.bmAttributes = sim::dfu::kCanDnload | sim::dfu::kWillDetach;
    config.manifestationTime = 5ms;
  }
  if (session.strict) config.variants = sim::SimDfuVariants::Strict();
  if (session.noContainer) config.identity.containerId.reset();
  const Bytes image = Filler(5000, 4);
  Outcome live;
  RecordingBuilder recording = Record(config, image, &live, Options(session.inlineData, session.pseudonyms));

  const SimReplayModelPtr model = Replay(recording, latency);
  ASSERT_NE(model, nullptr);
  const Outcome replayed = RunUpgrade(image, session.start);
  EXPECT_EQ(replayed, live);
  EXPECT_FALSE(model->Mismatch().has_value()) << model->Mismatch()->text;
  EXPECT_TRUE(WaitUntilFinished(model));
  if (live.state == QXDFU_UPGRADE_STATE_FINISHED) {
    EXPECT_EQ(model->ReceivedImage(), image);
  }
}

const SessionCase kSessions[] = {
    // The application detaches, leaves the bus and comes back as the bootloader (another PID).
    {"FromTheApplication", SimRunMode::Application, {}},
    {"InTheBootloader", SimRunMode::Bootloader, {}},
    // Its functions are listed together: one arrival of a composite device.
    {"CompositeApplication", SimRunMode::Application, {}, false, true},
    {"StalledStatus", SimRunMode::Bootloader, {SimDfuFault{SimDfuFaultAction::Stall, SimDfuRequestKind::GetStatus, 1}}},
    // The host's time-out and cancellation run on the replay as they did live.
    {"UnansweredStatus",
     SimRunMode::Bootloader,
     {SimDfuFault{SimDfuFaultAction::NoAnswer, SimDfuRequestKind::GetStatus, 1}},
     true},
    {"RemovedMidDownload",
     SimRunMode::Bootloader,
     {SimDfuFault{SimDfuFaultAction::Unplug, SimDfuRequestKind::Dnload, 2}}},
    {"DfuErrorAtBlockTwo",
     SimRunMode::Bootloader,
     {SimDfuFault{SimDfuFaultAction::DfuError, SimDfuRequestKind::Dnload, 2, 0, 1, sim::dfu::errWRITE}}},
    // The serial number replaced by its pseudonym everywhere: the replay shows the pseudonym.
    {"Pseudonyms", SimRunMode::Application, {}, false, false, false, true},
    {"InlineData", SimRunMode::Application, {}, false, false, true},
    {"ResetsAfterManifestation", SimRunMode::Bootloader, {}, false, false, false, false, true},
    // The host's USB reset is recorded and played.
    {"WaitsForTheHostsReset", SimRunMode::Bootloader, {}, false, false, false, false, true, true},
    {"RunModesWithoutContainer", SimRunMode::Application, {}, false, false, false, false, false, false, true},
};

INSTANTIATE_TEST_SUITE_P(Sessions, ReplayedSession,
                         ::testing::Combine(::testing::ValuesIn(kSessions),
                                            ::testing::Values(SimReplayLatency::Zero, SimReplayLatency::Recorded)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) == SimReplayLatency::Zero ? "_Zero" : "_Recorded");
                         });

// ---- a recording the engine does not follow stops the replay ----

struct ChangeCase {
  const char* name;
  // Changes the recording; returns the record number the replay must stop at, and the name of
  // the request it expected there.
  std::function<size_t(RecordingBuilder&)> change;
  const char* expected;
};

class ChangedRecording : public ApiReplayTest, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(ChangedRecording, StopsAtTheRecordAndTheUpgradeFails) {
  const ChangeCase& change = GetParam();
  const Bytes image = Filler(5000, 5);
  RecordingBuilder recording = Record(Config(SimRunMode::Bootloader), image);
  const size_t stop = change.change(recording);
  ASSERT_NE(stop, 0u);

  const SimReplayModelPtr model = Replay(recording, SimReplayLatency::Zero);
  ASSERT_NE(model, nullptr);
  const Outcome replayed = RunUpgrade(image, SimRunMode::Bootloader);
  EXPECT_NE(replayed.state, QXDFU_UPGRADE_STATE_FINISHED) << "a replay that went wrong must not succeed";
  const std::optional<sim::SimReplayMismatch> mismatch = model->Mismatch();
  ASSERT_TRUE(mismatch.has_value());
  EXPECT_EQ(mismatch->recordNumber, stop) << mismatch->text;
  EXPECT_NE(mismatch->expected.find(change.expected), std::string::npos) << mismatch->text;
  EXPECT_NE(mismatch->text.find("record " + std::to_string(stop) + ": expected "), std::string::npos);
  EXPECT_FALSE(model->Finished());
}

const ChangeCase kChanges[] = {
    {"StatusAndBlockSwapped",
     [](RecordingBuilder& r) {
       const size_t block = FindRecord(r, {DnloadBlock(2)});
       const size_t status = FindRecord(r, {kGetStatus}, block);
       std::swap(r.Lines()[block - 1], r.Lines()[status - 1]);
       return block;
     },
     "DFU_GETSTATUS"},
    {"StatusMissing",
     [](RecordingBuilder& r) {
       const size_t block = FindRecord(r, {DnloadBlock(1)});
       const size_t status = FindRecord(r, {kGetStatus}, block);
       r.Lines().erase(r.Lines().begin() + static_cast<std::ptrdiff_t>(status - 1));
       return status;  // the next block now sits where the host's status request is expected
     },
     "DFU_DNLOAD"},
    {"OtherBlockData",
     [](RecordingBuilder& r) {
       const size_t block = FindRecord(r, {DnloadBlock(3)});
       std::string& line = r.Lines()[block - 1];
       const size_t crc = line.find("\"out_crc32\":\"") + 13;
       line[crc] = line[crc] == '0' ? '1' : '0';
       return block;
     },
     "DFU_DNLOAD"},
};

INSTANTIATE_TEST_SUITE_P(Changes, ChangedRecording, ::testing::ValuesIn(kChanges),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ApiReplayTest, RequestAfterTheEndOfTheRecordingStopsTheReplay) {
  const Bytes image = Filler(5000, 6);
  RecordingBuilder recording = Record(Config(SimRunMode::Bootloader), image);
  recording.Lines().resize(FindRecord(recording, {DnloadBlock(2)}) - 1);
  const SimReplayModelPtr model = Replay(recording, SimReplayLatency::Zero);
  ASSERT_NE(model, nullptr);
  EXPECT_NE(RunUpgrade(image, SimRunMode::Bootloader).state, QXDFU_UPGRADE_STATE_FINISHED);
  const std::optional<sim::SimReplayMismatch> mismatch = model->Mismatch();
  ASSERT_TRUE(mismatch.has_value());
  EXPECT_EQ(mismatch->recordNumber, 0u);
  EXPECT_EQ(mismatch->expected, "the recording has no further request");
  EXPECT_EQ(mismatch->actual.rfind("DFU_DNLOAD setup 2101020000000004 out 1024 bytes crc32 ", 0), 0u)
      << mismatch->actual;
}

// Recorded latency is played: an answer recorded as later than the host waits is not seen in
// time, whereas the same recording played without latency upgrades the device.
TEST_F(ApiReplayTest, RecordedLatencyOutlastsTheHostsTimeOutWhereZeroLatencyDoesNot) {
  SetDfuDevicePortFactory(&ShortTimeoutPort);
  const Bytes image = Filler(3000, 7);
  RecordingBuilder recording = Record(Config(SimRunMode::Bootloader), image);
  const size_t status = FindRecord(recording, {kGetStatus}, FindRecord(recording, {DnloadBlock(1)}));
  std::string& line = recording.Lines()[status - 1];
  const size_t submit = line.find("\"t_submit\":") + 11;
  const size_t complete = line.find("\"t_complete\":") + 13;
  const long long submitted = std::stoll(line.substr(submit));
  line.replace(complete, line.find(',', complete) - complete, std::to_string(submitted + 2000000));

  const SimReplayModelPtr slow = Replay(recording, SimReplayLatency::Recorded);
  ASSERT_NE(slow, nullptr);
  const Outcome late = RunUpgrade(image, SimRunMode::Bootloader);
  EXPECT_EQ(late.state, QXDFU_UPGRADE_STATE_FAILED);
  EXPECT_EQ(late.status, QXSTATUS_TIMEOUT);
  slow->Unplug();

  const SimReplayModelPtr fast = Replay(recording, SimReplayLatency::Zero);
  ASSERT_NE(fast, nullptr);
  EXPECT_EQ(RunUpgrade(image, SimRunMode::Bootloader).state, QXDFU_UPGRADE_STATE_FINISHED);
  EXPECT_TRUE(WaitUntilFinished(fast));
}

// The model is read from another thread while the engine upgrades through it with recorded
// latency (answers, removal and arrival from the bus's scheduler).
class ApiReplayThreads : public ApiReplayTest {};

TEST_F(ApiReplayThreads, ModelIsReadWhileARecordedUpgradeIsReplayed) {
  const Bytes image = Filler(5000, 9);
  RecordingBuilder recording = Record(Config(SimRunMode::Application), image);
  const SimReplayModelPtr model = Replay(recording, SimReplayLatency::Recorded);
  ASSERT_NE(model, nullptr);
  fbtest::ReplayModelReader reader(model);
  const Outcome replayed = RunUpgrade(image, SimRunMode::Application);
  reader.Stop();
  EXPECT_EQ(replayed.state, QXDFU_UPGRADE_STATE_FINISHED);
  EXPECT_TRUE(WaitUntilFinished(model));
  EXPECT_EQ(model->ReceivedImage(), image);
}

// The device file's keys put a replayed device on the bus, with its recording found beside the
// file; what it received replaces an earlier run's received-firmware file.
TEST_F(ApiReplayTest, DeviceFileReplaysARecordingBesideIt) {
  const Bytes image = Filler(4000, 8);
  RecordingBuilder recording = Record(Config(SimRunMode::Application), image);
  fbtest::TempDir dir;
  ASSERT_TRUE(recording.Save(dir.File("session.jsonl").string()));
  {
    std::ofstream ini(dir.File("devices.ini"));
    ini << "[Device]\nModel = replay\nRecording = session.jsonl\nRecordedDevice = d1\nLatency = zero\n"
           "ReceivedFirmwareFile = received.bin\n";
  }
  { std::ofstream(dir.File("received.bin")) << "an earlier run's"; }
  const sim::SimDeviceFileResult loaded =
      sim::LoadSimDeviceFile(fbtest::ToQXWString(dir.File("devices.ini")), TestGuid());
  ASSERT_TRUE(loaded.ok) << loaded.error;
  EXPECT_FALSE(std::filesystem::exists(dir.File("received.bin")));
  const std::vector<sim::SimDeviceListEntry> listed = sim::VirtualUsbBus::Instance().ListDevices(TestGuid());
  ASSERT_EQ(listed.size(), 1u);
  const SimReplayModelPtr model = SimReplayModel::Of(sim::VirtualUsbBus::Instance().FindDevice(listed[0].deviceId));
  ASSERT_NE(model, nullptr);
  EXPECT_EQ(RunUpgrade(image, SimRunMode::Application).state, QXDFU_UPGRADE_STATE_FINISHED);
  EXPECT_TRUE(WaitUntilFinished(model));
  EXPECT_EQ(model->ReceivedImage(), image);
  std::ifstream received(dir.File("received.bin"), std::ios::binary);
  EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(received), {}), image);
  // An empty file takes the device off again.
  { std::ofstream(dir.File("devices.ini"), std::ios::trunc); }
  EXPECT_TRUE(sim::LoadSimDeviceFile(fbtest::ToQXWString(dir.File("devices.ini")), TestGuid()).ok);
  EXPECT_EQ(model->CurrentDevice(), nullptr);
}

}  // namespace
}  // namespace plendrik
