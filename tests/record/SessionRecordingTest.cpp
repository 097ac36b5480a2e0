// The session recording of whole upgrades through the exported functions against simulated
// devices: the records a replay and the summary rely on, the secrets kept out, and a recording
// that cannot be written leaving the upgrade alone.
#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "device/DfuDevicePortUsbDfu.h"
#include "device/QXBootloaderUnlockKey.h"
#include "device/QXBuildBootloaderUnlockReq.h"
#include "os/QXWinErrors.h"
#include "record/QXRecordingSetupApi.h"
#include "record/QXRecordingWinusbDrvApi.h"
#include "record/SessionRecordingFixture.h"
#include "support/CompositeDevice.h"
#include "support/ShortTimeoutPort.h"
#include "support/TestLogTarget.h"

namespace plendrik {
namespace {

using fbtest::JsonValue;
using fbtest::RecordingFile;

std::string Lower(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

std::string Hex(const uint8_t* data, size_t size) {
  std::string out;
  char two[3];
  for (size_t i = 0; i < size; ++i) {
    std::snprintf(two, sizeof(two), "%02x", data[i]);
    out += two;
  }
  return out;
}

// The index of the first record at or after `from` that matches, or the record count.
template <class Pred>
size_t Find(const RecordingFile& file, Pred pred, size_t from = 0) {
  const auto& records = file.Records();
  for (size_t i = from; i < records.size(); ++i) {
    if (pred(records[i])) {
      return i;
    }
  }
  return records.size();
}

// bRequest of a transfer record, from its setup packet.
std::string Request(const JsonValue& transfer) { return transfer["setup"].Str().substr(2, 2); }

struct UpgradeCase {
  friend void PrintTo(const UpgradeCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  size_t imageSize;
  uint32_t seed;
  const char* sha256;  // of the image, from Python's hashlib
  bool inlineData;
  bool pseudonyms;
};

class SessionRecordingUpgrade : public SessionRecordingTest, public ::testing::WithParamInterface<UpgradeCase> {};

TEST_P(SessionRecordingUpgrade, RecordsEverySeamCallOfTheUpgrade) {
  const UpgradeCase& c = GetParam();
  ReadConfiguration(std::string("File=session.jsonl\r\nInlineData=") + (c.inlineData ? "yes" : "no") +
                    "\r\nPseudonyms=" + (c.pseudonyms ? "yes" : "no") + "\r\n");
  sim::SimDfuDeviceConfig config = Config("QX7SER42");
  config.identity.containerId = TestGuid("{0C1D2E3F-4A5B-6C7D-8E9F-A0B1C2D3E4F5}");
  const sim::SimDfuDevicePtr model = Plug(config);
  const fbimg::Bytes image = fbimg::Filler(c.imageSize, c.seed);
  const fbtest::UpgradeResult r = Upgrade(image);
  EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FINISHED);
  EXPECT_EQ(model->Firmware(0), image);
  // What the caller sees is the device's own serial, pseudonyms or not.
  const uint32_t app = Open(kRecAppPid);
  QXWChar serial[32] = {};
  EXPECT_EQ(QXDFU_GetDevicePropertyString(app, QXDFU_DEVICE_PROPERTY_SERIAL_NUMBER, serial, 32), QXSTATUS_SUCCESS);
  EXPECT_EQ(QXWString(serial), QXW("QX7SER42"));
  Close(app);
  QXStopSessionRecording();
  if (std::getenv("FB_KEEP_RECORDING") != nullptr) {
    std::filesystem::copy_file(RecordingPath(), std::getenv("FB_KEEP_RECORDING"),
                               std::filesystem::copy_options::overwrite_existing);
  }

  const RecordingFile file(RecordingPath());
  ASSERT_GT(file.Records().size(), 10u);
  for (const std::string& type : file.Types()) {
    EXPECT_NE(type, "<unparsed>");
  }
  const JsonValue& header = file.Records()[0];
  EXPECT_EQ(header["type"].Str(), "header");
  EXPECT_EQ(header["format"].Str(), "flashbridge-recording");
  EXPECT_EQ(header["version"].Int(), 1);
  EXPECT_EQ(header["library"].Str(), "2.60.0");
  EXPECT_EQ(header["backend"].Str(), "virtual-bus");
  EXPECT_EQ(header["inline_data"].boolean, c.inlineData);
  EXPECT_EQ(header["pseudonyms"].boolean, c.pseudonyms);
  const std::string time = header["time"].Str();
  ASSERT_EQ(time.size(), 20u) << time;
  EXPECT_EQ(time[10], 'T');
  EXPECT_EQ(time.back(), 'Z');

  // Both run modes arrive as one device (one container), and the application leaves.
  const std::string serialText = c.pseudonyms ? "P6AC7310F" : "QX7SER42";
  const std::vector<JsonValue> arrivals = file.OfType("arrival");
  ASSERT_GE(arrivals.size(), 2u);
  for (const JsonValue& a : arrivals) {
    EXPECT_EQ(a["device"].Str(), "d1");
    const JsonValue& node = a["node"];
    EXPECT_EQ(node["container"].Str(), "{0c1d2e3f-4a5b-6c7d-8e9f-a0b1c2d3e4f5}");
    EXPECT_EQ(node["class"].Str(), Lower(kTestGuidText));
    EXPECT_NE(Lower(node["path"].Str()).find("vid_1209&pid_5a1"), std::string::npos) << node["path"].Str();
    EXPECT_EQ(node["instance"].Str().rfind("USB\\VID_1209&PID_5A1", 0), 0u) << node["instance"].Str();
    EXPECT_EQ(node["instance"].Str().substr(node["instance"].Str().size() - serialText.size()), serialText);
    EXPECT_FALSE(node["hardware_ids"].items.empty());
  }
  EXPECT_FALSE(file.OfType("removal").empty());

  // The bootloader's file: open, claim, descriptors and transfers, release, close.
  const size_t open = Find(file, [](const JsonValue& v) {
    return v["type"].Str() == "open" && Lower(v["path"].Str()).find("pid_5a12") != std::string::npos;
  });
  ASSERT_LT(open, file.Records().size());
  const int64_t fileNumber = file.Records()[open]["file"].Int();
  EXPECT_EQ(file.Records()[open]["device"].Str(), "d1");
  const size_t claim = Find(
      file, [&](const JsonValue& v) { return v["type"].Str() == "claim" && v["file"].Int() == fileNumber; }, open);
  ASSERT_LT(claim, file.Records().size());
  const int64_t handle = file.Records()[claim]["handle"].Int();
  EXPECT_NE(handle, fileNumber);
  auto onHandle = [&](const char* type) {
    return [type, handle](const JsonValue& v) { return v["type"].Str() == type && v["handle"].Int() == handle; };
  };
  const size_t descriptor = Find(file, onHandle("descriptor"), claim);
  const size_t transfer = Find(file, onHandle("transfer"), descriptor);
  const size_t release = Find(file, onHandle("release"), transfer);
  const size_t close = Find(
      file, [&](const JsonValue& v) { return v["type"].Str() == "close" && v["file"].Int() == fileNumber; }, release);
  EXPECT_LT(close, file.Records().size()) << "open " << open << " claim " << claim << " descriptor " << descriptor
                                          << " transfer " << transfer << " release " << release;
  // WinUSB's copy of the configuration; the other descriptors are control transfers.
  EXPECT_EQ(file.Records()[descriptor]["dtype"].Int(), 2);
  EXPECT_EQ(file.Records()[descriptor]["data"].Str().rfind("0902", 0), 0u);

  // The image record, then the blocks: offsets that follow each other up to the image's size,
  // by CRC-32 or inline as configured.
  const std::vector<JsonValue> images = file.OfType("image");
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(images[0]["sha256"].Str(), c.sha256);
  EXPECT_EQ(static_cast<size_t>(images[0]["size"].Int()), image.size());
  const bool inlineExpected = c.inlineData && image.size() <= (256u << 10);
  EXPECT_EQ(file.OfType("note").size(), c.inlineData && !inlineExpected ? 1u : 0u);
  fbimg::Bytes reassembled;
  size_t offset = 0;
  for (const JsonValue& block : DnloadBlocks(file, "d1")) {
    EXPECT_EQ(static_cast<size_t>(block["offset"].Int()), offset);
    EXPECT_EQ(block["result"].Int(), 0);
    if (inlineExpected) {
      const std::vector<uint8_t> bytes = fbtest::HexBytes(block["out"].Str());
      reassembled.insert(reassembled.end(), bytes.begin(), bytes.end());
      offset += bytes.size();
    } else {
      ASSERT_FALSE(block.Has("out"));
      const size_t length = static_cast<size_t>(block["out_len"].Int());
      ASSERT_LE(offset + length, image.size());
      char crc[16];
      std::snprintf(crc, sizeof(crc), "%08x", fbtest::BitwiseCrc32(image.data() + offset, length));
      EXPECT_EQ(block["out_crc32"].Str(), crc) << "block at " << offset;
      offset += length;
    }
  }
  EXPECT_EQ(offset, image.size());
  if (inlineExpected) {
    EXPECT_EQ(reassembled, image);
  }

  // Pseudonyms: the serial nowhere, in any letter case, not even in a string descriptor.
  const std::string text = Lower(fbtest::ReadFileBytes(RecordingPath()));
  EXPECT_EQ(text.find("qx7ser42") == std::string::npos, c.pseudonyms);
  EXPECT_EQ(text.find("p6ac7310f") != std::string::npos, c.pseudonyms);
  const std::string utf16Serial = "5158375345523432";  // "QX7SER42" as UTF-16LE without the zero bytes
  bool serialDescriptorSeen = false;
  for (const JsonValue& t : file.OfType("transfer")) {
    if (t["setup"].Str().rfind("800603", 0) != 0 || t["setup"].Str().substr(4, 2) == "00") {
      continue;
    }
    std::string units;
    const std::vector<uint8_t> answer = fbtest::HexBytes(t["in"].Str());
    for (size_t i = 2; i < answer.size(); i += 2) {
      units += Hex(&answer[i], 1);
    }
    if (units == utf16Serial || units == "5036414337333130" /* P6AC7310 */ + std::string("46")) {
      serialDescriptorSeen = true;
      EXPECT_EQ(units == utf16Serial, !c.pseudonyms);
      EXPECT_EQ(static_cast<size_t>(answer[0]), answer.size()) << "bLength follows the text";
    }
  }
  EXPECT_TRUE(serialDescriptorSeen);
}

INSTANTIATE_TEST_SUITE_P(
    Options, SessionRecordingUpgrade,
    ::testing::Values(UpgradeCase{"ByDigest", 10000, 3,
                                  "79dac3f57ff008bec8a29eb49eb3ff2dae185f5eacbc9e2268940a7752a955b4", false, false},
                      UpgradeCase{"Inline", 10000, 3,
                                  "79dac3f57ff008bec8a29eb49eb3ff2dae185f5eacbc9e2268940a7752a955b4", true, false},
                      UpgradeCase{"Pseudonyms", 10000, 3,
                                  "79dac3f57ff008bec8a29eb49eb3ff2dae185f5eacbc9e2268940a7752a955b4", false, true},
                      UpgradeCase{"InlineTooLarge", 300000, 5,
                                  "a0a54f63eaceba3393f9a0eb31dfe6c883fec73d00832ad1fcff00d8d9632a26", true, false}),
    [](const ::testing::TestParamInfo<UpgradeCase>& info) { return std::string(info.param.name); });

// A composite device's function has an instance id the system made up, which names no
// serial: the serial string the library reads at open (at the device descriptor's
// iSerialNumber) is what teaches the recorder the serial, and it is masked there and elsewhere.
TEST_F(SessionRecordingTest, CompositeFunctionsSerialStringIsMasked) {
  ReadConfiguration("File=session.jsonl\r\nPseudonyms=yes\r\n");
  sim::SimDfuDeviceConfig config = Config("QX7SER42");
  fbtest::AddAudioFunctionBeforeDfu(config);
  Plug(config);
  const uint32_t app = Open(kRecAppPid);
  ASSERT_NE(app, 0u);
  QXWChar serial[32] = {};
  EXPECT_EQ(QXDFU_GetDevicePropertyString(app, QXDFU_DEVICE_PROPERTY_SERIAL_NUMBER, serial, 32), QXSTATUS_SUCCESS);
  EXPECT_EQ(QXWString(serial), QXW("QX7SER42"));
  Close(app);
  QXStopSessionRecording();

  const RecordingFile file(RecordingPath());
  const std::vector<JsonValue> arrivals = file.OfType("arrival");
  ASSERT_FALSE(arrivals.empty());
  EXPECT_NE(arrivals[0]["node"]["instance"].Str().find("&MI_"), std::string::npos)
      << arrivals[0]["node"]["instance"].Str();
  const std::string text = Lower(fbtest::ReadFileBytes(RecordingPath()));
  EXPECT_EQ(text.find("qx7ser42"), std::string::npos);
  EXPECT_EQ(text.find("5100580037005300450052003400320"), std::string::npos);  // UTF-16LE
  // The pseudonym's string descriptor stands in the serial string's answer.
  EXPECT_NE(text.find("1403500036004100430037003300310030004600"), std::string::npos);
}

TEST_F(SessionRecordingTest, UnlockHandshakeRecordsTheMacAsSentAndNeverTheKey) {
  ReadConfiguration("File=session.jsonl\r\nInlineData=yes\r\n");
  sim::SimDfuDeviceConfig config = Config();
  config.targets[0].locked = true;
  const sim::SimDfuDevicePtr model = Plug(config);
  const fbimg::Bytes image = fbimg::Filler(9000, 21);
  EXPECT_EQ(Upgrade(image, QXDFU_UPGRADE_FLAG_UNLOCK_TARGET).state, QXDFU_UPGRADE_STATE_FINISHED);
  // Written into the target the unlock opened. (Not IsLocked: the unlock ends when the device
  // leaves the bus, which the reboot into the application makes it do at any moment.)
  EXPECT_EQ(model->Firmware(0), image);
  QXStopSessionRecording();

  const RecordingFile file(RecordingPath());
  std::vector<JsonValue> tokens;
  std::vector<JsonValue> unlocks;
  for (const JsonValue& t : file.OfType("transfer")) {
    if (Request(t) == "d3") {
      tokens.push_back(t);
    } else if (Request(t) == "d4") {
      unlocks.push_back(t);
    }
  }
  ASSERT_EQ(tokens.size(), 1u);
  ASSERT_EQ(unlocks.size(), 1u);
  const std::vector<uint8_t> tokenBytes = fbtest::HexBytes(tokens[0]["in"].Str());
  ASSERT_EQ(tokenBytes.size(), kQXUnlockTokenSize);
  uint8_t tokenArray[kQXUnlockTokenSize];
  std::copy(tokenBytes.begin(), tokenBytes.end(), tokenArray);
  uint8_t expected[kQXUnlockRequestSize];
  ASSERT_EQ(QXBuildBootloaderUnlockReq(expected, tokenArray), QXSTATUS_SUCCESS);
  EXPECT_EQ(unlocks[0]["out"].Str(), Hex(expected, sizeof(expected)));

  uint8_t key[kQXUnlockKeySize];
  QXAssembleUnlockKeyGeneration0(key);
  const std::string text = fbtest::ReadFileBytes(RecordingPath());
  EXPECT_EQ(text.find(Hex(key, sizeof(key))), std::string::npos);
  EXPECT_EQ(text.find(Hex(key, 8)), std::string::npos);
}

TEST_F(SessionRecordingTest, RequestWithoutAnswerGivesTimeoutCancelAndTheAbortedTransfer) {
  SetDfuDevicePortFactory(fbtest::ShortTimeoutPort);
  ReadConfiguration("File=session.jsonl\r\n");
  sim::SimDfuDeviceConfig config = Config();
  config.startMode = sim::SimRunMode::Bootloader;
  config.wTransferSize = 512;
  config.faults.push_back(
      sim::SimDfuFault{sim::SimDfuFaultAction::NoAnswer, sim::SimDfuRequestKind::GetStatus, uint16_t{1}});
  Plug(config);
  const uint32_t boot = Open(kRecBootPid);
  ASSERT_NE(boot, 0u);
  const fbimg::Bytes image = fbimg::Filler(2000, 6);
  uint32_t imageHandle = 0;
  ASSERT_EQ(QXDFU_LoadFirmwareFromBuffer(image.data(), image.size(), QXDFU_IMAGE_TYPE_RAW_BINARY, &imageHandle, 0),
            QXSTATUS_SUCCESS);
  mImages.push_back(imageHandle);
  ASSERT_EQ(QXDFU_StartUpgrade(boot, imageHandle, 0, 0), QXSTATUS_SUCCESS);
  const fbtest::UpgradeResult r = fbtest::WaitForUpgradeEnd(boot, std::chrono::seconds(15));
  EXPECT_EQ(r.completionStatus, QXSTATUS_TIMEOUT);
  QXStopSessionRecording();

  const RecordingFile file(RecordingPath());
  const size_t timeout = Find(file, [](const JsonValue& v) { return v["type"].Str() == "timeout"; });
  ASSERT_LT(timeout, file.Records().size());
  const JsonValue& t = file.Records()[timeout];
  EXPECT_EQ(t["wait_ms"].Int(), 300);
  EXPECT_EQ(t["device"].Str(), "d1");
  const int64_t handle = t["handle"].Int();
  const size_t cancel = Find(
      file, [&](const JsonValue& v) { return v["type"].Str() == "cancel" && v["handle"].Int() == handle; }, timeout);
  ASSERT_LT(cancel, file.Records().size());
  EXPECT_EQ(file.Records()[cancel]["result"].Int(), 0);
  const size_t transfer = Find(
      file, [&](const JsonValue& v) { return v["type"].Str() == "transfer" && v["handle"].Int() == handle; }, cancel);
  ASSERT_LT(transfer, file.Records().size());
  const JsonValue& aborted = file.Records()[transfer];
  EXPECT_EQ(aborted["setup"].Str(), "a103000000000600");
  EXPECT_EQ(aborted["result"].Int(), 995);
  EXPECT_EQ(aborted["transferred"].Int(), 0);
  EXPECT_EQ(aborted["in"].Str(), "");
  EXPECT_LE(aborted["t_submit"].Int() + 300000, aborted["t_complete"].Int());
  EXPECT_FALSE(aborted.Has("submit_error"));
}

// A recording that is off or cannot be written: the seams answer unchanged and the upgrade
// runs as without recording.
struct NoRecordingCase {
  friend void PrintTo(const NoRecordingCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  const char* recording;  // the [Recording] lines
  bool warns;
};

class SessionRecordingOff : public SessionRecordingTest, public ::testing::WithParamInterface<NoRecordingCase> {};

TEST_P(SessionRecordingOff, UpgradeRunsUnchangedAndNothingIsWritten) {
  TestLogTarget log;
  ReadConfiguration(GetParam().recording);
  EXPECT_EQ(log.Contains("recording file"), GetParam().warns) << log.Dump();
  EXPECT_EQ(&QXGetWinusbDrvApi(), &sim::SimWinusbDrvApi::Instance());
  EXPECT_EQ(&QXWinGetSetupApi(), &mApi);
  EXPECT_EQ(QXGetActiveSessionRecorder(), nullptr);
  const sim::SimDfuDevicePtr model = Plug(Config());
  const fbimg::Bytes image = fbimg::Filler(5000, 4);
  EXPECT_EQ(Upgrade(image).state, QXDFU_UPGRADE_STATE_FINISHED);
  EXPECT_EQ(model->Firmware(0), image);
  EXPECT_FALSE(std::filesystem::exists(RecordingPath()));
}

INSTANTIATE_TEST_SUITE_P(Cases, SessionRecordingOff,
                         ::testing::Values(NoRecordingCase{"NoSection", "", false},
                                           NoRecordingCase{"NoFile", "InlineData=yes\r\n", false},
#if !defined(_WIN32)
                                           // Opens, but every write fails.
                                           NoRecordingCase{"WritesFail", "File=/dev/full\r\n", true},
#endif
                                           NoRecordingCase{"FileIsAFolder", "File=.\r\n", true}),
                         [](const ::testing::TestParamInfo<NoRecordingCase>& info) {
                           return std::string(info.param.name);
                         });

// The enumeration seam alone (what the windows test build checks under Wine as well): the
// header names the stack below, and each listing's new and vanished nodes give arrivals and
// removals with the nodes' identities.
TEST_F(SessionRecordingTest, ListingsGiveArrivalsAndRemovals) {
  ReadConfiguration("File=session.jsonl\r\n");
  EXPECT_EQ(&QXGetWinusbDrvApi(), &QXRecordingWinusbDrvApi::Instance());
  EXPECT_EQ(&QXWinGetSetupApi(), &QXRecordingSetupApi::Instance());
  sim::SimDeviceSpec first = DfuDeviceSpec(0x1209, 0x0001, 0x0100, "SN0001");
  first.identity.containerId = TestGuid("{11111111-2222-3333-4444-555555555555}");
  const sim::SimDevicePtr a = Attach(first);
  const sim::SimDevicePtr b = Attach(DfuDeviceSpec(0x1209, 0x0002, 0x0100, "SN0002"));
  auto list = [](uint32_t expected) {
    uint32_t enumeration = 0;
    uint32_t count = 0;
    EXPECT_EQ(QXDFU_EnumerateUsbDfuDevices("VID=0x1209, PID=1\nVID=0x1209, PID=2", &enumeration, &count, 0, 0, 0),
              QXSTATUS_SUCCESS);
    EXPECT_EQ(count, expected);
    EXPECT_EQ(QXDFU_CloseEnumeration(enumeration), QXSTATUS_SUCCESS);
  };
  list(2);
  list(2);
  sim::VirtualUsbBus::Instance().Detach(a->Id());
  list(1);
  QXStopSessionRecording();

  const RecordingFile file(RecordingPath());
  ASSERT_FALSE(file.Records().empty());
  EXPECT_EQ(file.Records()[0]["backend"].Str(), "virtual-bus");
  EXPECT_EQ(file.Types(), (std::vector<std::string>{"header", "arrival", "arrival", "removal"}));
  const std::vector<JsonValue> arrivals = file.OfType("arrival");
  ASSERT_EQ(arrivals.size(), 2u);
  EXPECT_EQ(arrivals[0]["device"].Str(), "d1");
  EXPECT_EQ(arrivals[1]["device"].Str(), "d2");
  const JsonValue& node = arrivals[0]["node"];
  EXPECT_EQ(node["instance"].Str(), "USB\\VID_1209&PID_0001\\SN0001");
  EXPECT_EQ(node["container"].Str(), "{11111111-2222-3333-4444-555555555555}");
  EXPECT_TRUE(arrivals[1]["node"]["container"].IsNull());
  ASSERT_FALSE(node["hardware_ids"].items.empty());
  EXPECT_EQ(node["hardware_ids"].items[0].Str(), "USB\\VID_1209&PID_0001&REV_0100");
  EXPECT_NE(Lower(node["path"].Str()).find("vid_1209&pid_0001"), std::string::npos);
  const JsonValue removal = file.OfType("removal").at(0);
  EXPECT_EQ(removal["device"].Str(), "d1");
  EXPECT_EQ(removal["path"].Str(), node["path"].Str());
}

// A device that leaves between two listings, seen by the host only as a failing query on its
// open handle (a device resetting itself after manifestation): one removal, when the query
// fails, and none again from the next listing.
TEST_F(SessionRecordingTest, DeviceFoundGoneOnItsHandleGivesOneRemoval) {
  ReadConfiguration("File=session.jsonl\r\n");
  const sim::SimDevicePtr device = Attach(DfuDeviceSpec(0x1209, 0x0001, 0x0100, "SN0001"));
  auto list = [] {
    uint32_t enumeration = 0;
    uint32_t count = 0;
    EXPECT_EQ(QXDFU_EnumerateUsbDfuDevices("VID=0x1209, PID=1", &enumeration, &count, 0, 0, 0), QXSTATUS_SUCCESS);
    EXPECT_EQ(QXDFU_CloseEnumeration(enumeration), QXSTATUS_SUCCESS);
  };
  list();
  const std::vector<sim::SimDeviceListEntry> listed = sim::VirtualUsbBus::Instance().ListDevices(TestGuid());
  ASSERT_EQ(listed.size(), 1u);
  QXWinusbDrvApi& api = QXGetWinusbDrvApi();
  QXOsHandle deviceFile = nullptr;
  QXOsHandle winUsb = nullptr;
  ASSERT_EQ(api.CreateDeviceFile(listed[0].interfacePath, 0xC0000000, 3, nullptr, deviceFile), 0u);
  ASSERT_EQ(api.WinUsbInitialize(deviceFile, winUsb), 0u);
  uint8_t speed = 0;
  uint32_t length = 1;
  EXPECT_EQ(api.WinUsbQueryDeviceInformation(winUsb, 1, length, &speed), 0u);
  sim::VirtualUsbBus::Instance().Detach(device->Id());
  for (int i = 0; i < 2; ++i) {
    length = 1;
    EXPECT_EQ(api.WinUsbQueryDeviceInformation(winUsb, 1, length, &speed), kQXErrorDeviceNotConnected);
  }
  list();
  api.WinUsbFree(winUsb);
  api.CloseOsHandle(deviceFile);
  QXStopSessionRecording();

  const RecordingFile file(RecordingPath());
  EXPECT_EQ(file.Types(),
            (std::vector<std::string>{"header", "arrival", "open", "claim", "removal", "release", "close"}));
  const std::vector<JsonValue> arrivals = file.OfType("arrival");
  ASSERT_EQ(arrivals.size(), 1u);
  const JsonValue removal = file.OfType("removal").at(0);
  EXPECT_EQ(removal["device"].Str(), "d1");
  EXPECT_EQ(removal["path"].Str(), arrivals[0]["node"]["path"].Str());
}

// The platform's own listing below the recording: Wine's SetupAPI in the windows build (no USB
// devices there), the virtual bus on the host. The caller's answer is unchanged.
TEST_F(SessionRecordingTest, PlatformListingPassesThroughTheRecording) {
  QXWinSetSetupApi(nullptr);
  ReadConfiguration("File=session.jsonl\r\n");
  uint32_t enumeration = 0;
  uint32_t count = 7;
  EXPECT_EQ(QXDFU_EnumerateUsbDfuDevices("VID=0x1209, PID=0x7777", &enumeration, &count, 0, 0, 0), QXSTATUS_SUCCESS);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(QXDFU_CloseEnumeration(enumeration), QXSTATUS_SUCCESS);
  QXStopSessionRecording();
  EXPECT_EQ(RecordingFile(RecordingPath()).Types(), std::vector<std::string>{"header"});
}

}  // namespace
}  // namespace plendrik
