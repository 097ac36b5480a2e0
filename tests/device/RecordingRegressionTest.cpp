// The regression folder: every recording in tests/recordings is replayed against the engine as
// it is now, and must end as the ini file beside it says (the upgrade's state and completion
// status), without the replay stopping and, for a finished upgrade, with every recorded step
// played and the image received again. Dropping a field recording and its expected outcome
// there turns it into a test.
//
// With FB_RECORDINGS_OUT naming a folder, the generator cases record the seed sessions of that
// folder live against the simulated device's variants (scripts/make-recordings.sh).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "device/DfuDevicePortUsbDfu.h"
#include "diag/QXIniFile.h"
#include "diag/QXStatusNames.h"
#include "record/SessionRecordingFixture.h"
#include "sim/SimRecording.h"
#include "sim/SimReplayModel.h"
#include "support/ReplayModelReader.h"
#include "support/ShortTimeoutPort.h"

namespace plendrik {
namespace {

using namespace std::chrono_literals;

const char* StateName(uint32_t state) {
  switch (state) {
    case QXDFU_UPGRADE_STATE_FINISHED:
      return "Finished";
    case QXDFU_UPGRADE_STATE_FAILED:
      return "Failed";
    case QXDFU_UPGRADE_STATE_IDLE:
      return "Idle";
    default:
      return "InProgress";
  }
}

// VID and PID of a hardware identifier such as USB\VID_1209&PID_0001&REV_0100; 0 when absent.
uint16_t IdField(const std::string& hardwareId, const char* field) {
  const size_t at = hardwareId.find(field);
  return at == std::string::npos ? 0 : static_cast<uint16_t>(std::strtoul(hardwareId.c_str() + at + 4, nullptr, 16));
}

struct RecordedIds {
  uint16_t vendor = 0;
  uint16_t firstPid = 0;  // the identity the session starts with
  uint16_t otherPid = 0;  // the first later identity with another product id (the other run mode)
};

RecordedIds IdsOf(const sim::SimRecordedDevice& device) {
  RecordedIds ids;
  for (const sim::SimRecordedIdentity& identity : device.identities) {
    if (identity.nodes.empty() || identity.nodes[0].hardwareIds.empty()) {
      continue;
    }
    const std::string& hw = identity.nodes[0].hardwareIds[0];
    const uint16_t pid = IdField(hw, "PID_");
    if (ids.vendor == 0) {
      ids.vendor = IdField(hw, "VID_");
      ids.firstPid = pid;
    } else if (ids.otherPid == 0 && pid != ids.firstPid) {
      ids.otherPid = pid;
    }
  }
  return ids;
}

// A status as the expected files name it: the library's name, else the Windows error's, else
// its number (the DFU error statuses have no name of their own).
std::string StatusText(QXSTATUS status) {
  const char* name = QXStatusName(status);
  if (name == nullptr) {
    name = QXWin32ErrorName(status);
  }
  if (name != nullptr) {
    return name;
  }
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08x", static_cast<unsigned>(status));
  return text;
}

using fbtest::ShortTimeoutPort;

class RecordingRegressionTest : public SessionRecordingTest {
 protected:
  void SetUp() override {
    SessionRecordingTest::SetUp();
    // Replays answer at once, so a request the recording never answered is the only one that
    // waits for the host's time-out: short ones keep such cases quick, live and replayed alike.
    SetDfuDevicePortFactory(ShortTimeoutPort);
  }

  void TearDown() override {
    if (mReplay) {
      mReplay->Unplug();
    }
    SessionRecordingTest::TearDown();
  }

  // The caller's flow of every case: from the application (reboot into the bootloader, find it
  // again) or straight in the bootloader, the download of target 0, finish, back to the
  // application, close. The state and status the caller reads at the upgrade's end.
  static fbtest::UpgradeResult RunFlow(bool fromApplication, uint16_t vendor, uint16_t appPid, uint16_t bootPid,
                                       const std::vector<uint8_t>& image) {
    return fbtest::RunCallerUpgrade(
        {fromApplication ? fbtest::VidPidFilter(vendor, appPid) : "", fbtest::VidPidFilter(vendor, bootPid)}, image,
        60s);
  }

  sim::SimReplayModelPtr mReplay;
};

// ---- every recording of the folder ----

std::vector<std::string> RecordingNames() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(FB_RECORDINGS_DIR, ec)) {
    if (entry.path().extension() == ".expected") {
      names.push_back(entry.path().stem().string());
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

class RecordedSession : public RecordingRegressionTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(RecordedSession, ReplaysToItsDocumentedOutcome) {
  const std::filesystem::path folder(FB_RECORDINGS_DIR);
  const std::filesystem::path expectedFile = folder / (GetParam() + ".expected");
  QXIniDocument expected;
  ASSERT_EQ(LoadIniFile(expected, fbtest::ToQXWString(expectedFile)), QXSTATUS_SUCCESS) << expectedFile;
  const auto value = [&](const char* section, const char* key) {
    const char* text = GetStringValue(expected, section, key);
    return std::string(text != nullptr ? text : "");
  };
  const std::string flow = value("Replay", "Flow");
  ASSERT_TRUE(flow == "from-application" || flow == "from-bootloader") << expectedFile << ": Flow = " << flow;
  const std::string wantState = value("Expected", "State");
  const std::string wantStatus = value("Expected", "Status");
  ASSERT_FALSE(wantState.empty() || wantStatus.empty()) << expectedFile << " names no State or Status";

  const sim::SimRecordingResult loaded = sim::LoadSimRecording(folder / (GetParam() + ".jsonl"));
  ASSERT_NE(loaded.recording, nullptr) << loaded.error;
  const sim::SimRecordedDevice* device = loaded.recording->FindDevice("");
  ASSERT_NE(device, nullptr);
  ASSERT_FALSE(device->identities.empty() || device->identities[0].nodes.empty());

  std::vector<uint8_t> image;
  const std::string imageName = value("Replay", "Image");
  if (imageName.empty() || imageName == "inline") {
    const auto inlineImage = device->InlineImage();
    ASSERT_TRUE(inlineImage.has_value()) << "the recording holds no inline image: name an image file";
    image = *inlineImage;
  } else {
    const std::string bytes = fbtest::ReadFileBytes(folder / imageName);
    image.assign(bytes.begin(), bytes.end());
    ASSERT_FALSE(image.empty()) << "cannot read the image " << imageName;
  }

  // The library lists the device under the interface class it was recorded with.
  const sim::SimGuid& cls = device->identities[0].nodes[0].interfaceClass;
  char guid[64];
  std::snprintf(guid, sizeof(guid), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", cls.data1, cls.data2,
                cls.data3, cls.data4[0], cls.data4[1], cls.data4[2], cls.data4[3], cls.data4[4], cls.data4[5],
                cls.data4[6], cls.data4[7]);
  gDfuApi.SetDriverInterfaceGuid(guid);

  std::string error;
  mReplay = sim::SimReplayModel::Create(sim::VirtualUsbBus::Instance(), loaded.recording, device->label,
                                        sim::SimReplayLatency::Zero, &error);
  ASSERT_NE(mReplay, nullptr) << error;
  ASSERT_TRUE(mReplay->Plug());

  const RecordedIds ids = IdsOf(*device);
  const bool fromApplication = flow == "from-application";
  const uint16_t bootPid = fromApplication ? ids.otherPid : ids.firstPid;
  const fbtest::UpgradeResult result = RunFlow(fromApplication, ids.vendor, ids.firstPid, bootPid, image);

  const auto mismatch = mReplay->Mismatch();
  EXPECT_FALSE(mismatch.has_value()) << mismatch->text;
  EXPECT_EQ(StateName(result.state), wantState);
  EXPECT_EQ(StatusText(result.completionStatus), wantStatus);
  EXPECT_TRUE(fbtest::WaitUntilFinished(mReplay)) << "the replay did not play to the recording's end";
  if (wantState == "Finished") {
    EXPECT_EQ(mReplay->ReceivedImage(), image);
  }
}

INSTANTIATE_TEST_SUITE_P(Folder, RecordedSession, ::testing::ValuesIn(RecordingNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

// The folder's cases come from a directory listing that yields none when the folder is missing,
// and only recordings with an expected file become cases: the folder itself is checked here.
TEST(RecordingFolder, HoldsTheSeedRecordingsEachWithItsExpectedOutcome) {
  const std::filesystem::path folder(FB_RECORDINGS_DIR);
  ASSERT_TRUE(std::filesystem::is_directory(folder)) << folder;
  size_t recordings = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() != ".jsonl") continue;
    ++recordings;
    std::filesystem::path expected = entry.path();
    expected.replace_extension(".expected");
    EXPECT_TRUE(std::filesystem::is_regular_file(expected)) << entry.path() << " has no " << expected.filename();
  }
  // The six simulated variants and the libusb session.
  EXPECT_GE(recordings, 7u);
  EXPECT_EQ(RecordingNames().size(), recordings) << "an expected file without its recording";
}

// ---- the seed sessions, recorded live against the simulated device's variants ----

struct SeedCase {
  const char* name;
  const char* origin;  // the comment line of the expected file
  // The outcome the session must end with (as the expected file names it): a live run that ends
  // otherwise writes nothing, so a hiccup never becomes a committed outcome.
  const char* state;
  const char* status;
  void (*adjust)(sim::SimDfuDeviceConfig& config);
  bool inlineData = false;  // the image in the recording itself; else by digest, the image beside
};

sim::SimDfuFault DownloadFault(sim::SimDfuFaultAction action, uint16_t block) {
  sim::SimDfuFault fault;
  fault.action = action;
  fault.request = sim::SimDfuRequestKind::Dnload;
  fault.block = block;
  return fault;
}

void NotTolerant(sim::SimDfuDeviceConfig& c) {
  c.bmAttributes &= static_cast<uint8_t>(~sim::dfu::kManifestationTolerant);
}

const SeedCase kSeeds[] = {
    {"sim-tolerant", "a manifestation tolerant device", "Finished", "QXSTATUS_SUCCESS",
     [](sim::SimDfuDeviceConfig&) {}, true},
    {"sim-not-tolerant", "a device that is not manifestation tolerant and resets itself after manifesting",
     "Finished", "QXSTATUS_SUCCESS",
     [](sim::SimDfuDeviceConfig& c) { NotTolerant(c); }},
    {"sim-strict", "the strict device: early status stalled, waits for a bus reset after manifesting, busy overrun",
     "Finished", "QXSTATUS_SUCCESS",
     [](sim::SimDfuDeviceConfig& c) {
       NotTolerant(c);
       c.variants = sim::SimDfuVariants::Strict();
       c.pollTimeoutMs = 3;
       c.flashWritePerBlock = 2ms;
       c.manifestationTime = 10ms;
     }},
    {"sim-dfu-error-at-block", "a device that reports dfuERROR with errWRITE after block 3", "Failed", "0xee001103",
     [](sim::SimDfuDeviceConfig& c) {
       sim::SimDfuFault fault = DownloadFault(sim::SimDfuFaultAction::DfuError, 3);
       fault.bStatus = sim::dfu::errWRITE;
       c.faults.push_back(fault);
     }},
    {"sim-no-answer", "a device that never answers block 2 (the host's time-out and cancel run)", "Failed",
     "QXSTATUS_TIMEOUT",
     [](sim::SimDfuDeviceConfig& c) { c.faults.push_back(DownloadFault(sim::SimDfuFaultAction::NoAnswer, 2)); }},
    {"sim-unplug-mid-download", "a device unplugged instead of answering block 4", "Failed",
     "ERROR_DEVICE_NOT_CONNECTED",
     [](sim::SimDfuDeviceConfig& c) { c.faults.push_back(DownloadFault(sim::SimDfuFaultAction::Unplug, 4)); }},
};

// The image every seed session downloads, beside the recordings that keep it by digest.
constexpr const char* kSeedImage = "seed-image.bin";

class SeedRecording : public RecordingRegressionTest, public ::testing::WithParamInterface<SeedCase> {};

TEST_P(SeedRecording, IsRecordedLive) {
  const char* out = std::getenv("FB_RECORDINGS_OUT");
  if (out == nullptr || *out == '\0') {
    GTEST_SKIP() << "FB_RECORDINGS_OUT names no folder to write the seed recordings to";
  }
  const SeedCase& seed = GetParam();
  ReadConfiguration("File=" + RecordingPath().string() + (seed.inlineData ? "\r\nInlineData=yes\r\n" : "\r\n"));
  sim::SimDfuDeviceConfig config = Config("SEED0001");
  config.wTransferSize = 1024;
  seed.adjust(config);
  Plug(config);
  const std::vector<uint8_t> image = fbimg::Filler(8192, 0x5E);
  const fbtest::UpgradeResult result = RunFlow(true, kRecVid, kRecAppPid, kRecBootPid, image);
  QXStopSessionRecording();
  ASSERT_EQ(StateName(result.state), std::string(seed.state)) << "nothing written for " << seed.name;
  ASSERT_EQ(StatusText(result.completionStatus), std::string(seed.status)) << "nothing written for " << seed.name;

  const std::filesystem::path folder(out);
  std::filesystem::copy_file(RecordingPath(), folder / (std::string(seed.name) + ".jsonl"),
                             std::filesystem::copy_options::overwrite_existing);
  fbtest::WriteFileBytes(folder / kSeedImage, std::string(image.begin(), image.end()));
  const std::string expected = std::string("; recorded live against ") + seed.origin +
                               ", 8 KiB raw image, from the application\n[Replay]\nFlow = from-application\n"
                               "Image = " +
                               (seed.inlineData ? "inline" : kSeedImage) +
                               "\n\n[Expected]\nState = " + seed.state + "\nStatus = " + seed.status + "\n";
  fbtest::WriteFileBytes(folder / (std::string(seed.name) + ".expected"), expected);
}

INSTANTIATE_TEST_SUITE_P(Variants, SeedRecording, ::testing::ValuesIn(kSeeds),
                         [](const ::testing::TestParamInfo<SeedCase>& info) {
                           std::string name = info.param.name;
                           for (char& c : name) {
                             if (c == '-') c = '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace plendrik
