// The replay model on the virtual bus, driven request by request: how each recorded result is
// answered, standard requests matched by setup packet, a reset and a re-arrival played from the
// recording, the stop at the first mismatch, the end of a download, and the device file's replay
// keys.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "discovery/EnumerationTestBus.h"
#include "sim/SimDeviceFile.h"
#include "sim/SimReplayModel.h"
#include "sim/VirtualUsbBus.h"
#include "support/RecordingBuilder.h"
#include "support/ReplayModelReader.h"
#include "support/TempDir.h"

namespace plendrik::sim {
namespace {

using namespace std::chrono_literals;
using fbtest::RecordedNode;
using fbtest::RecordedTransfer;
using fbtest::RecordingBuilder;
using fbtest::SetupHex;

const char* kGuid = "{6e45736a-2b1b-4078-b772-b3af2b6fde1c}";

RecordedNode Node(uint16_t pid) { return fbtest::DeviceNode(0x1209, pid, "RPLSIM", kGuid); }

SimSetupPacket Packet(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
  return SimSetupPacket{type, request, value, index, length};
}

RecordedTransfer Transfer(int64_t t, const SimSetupPacket& s, uint32_t result = 0) {
  RecordedTransfer x;
  x.tSubmit = t;
  x.tComplete = t + 5;
  x.setup = SetupHex(s.bmRequestType, s.bRequest, s.wValue, s.wIndex, s.wLength);
  x.result = result;
  return x;
}

const SimSetupPacket kGetState = Packet(0xA1, 0x05, 0, 0, 1);
const SimSetupPacket kGetStatus = Packet(0xA1, 0x03, 0, 0, 6);
const SimSetupPacket kUnlock = Packet(0x41, 0xD4, 0, 0, 4);
const SimSetupPacket kBlock0 = Packet(0x21, 0x01, 0, 0, 4);
const SimSetupPacket kBlock1 = Packet(0x21, 0x01, 1, 0, 4);
const SimSetupPacket kString3 = Packet(0x80, 0x06, 0x0303, 0x0409, 255);
const std::vector<uint8_t> kString3Answer{0x08, 0x03, 'R', 0, 'P', 0, 'L', 0};

class SimReplayModelTest : public ::testing::Test {
 protected:
  void SetUp() override { VirtualUsbBus::Instance().DetachAll(); }
  void TearDown() override {
    for (const SimReplayModelPtr& model : mModels) model->Unplug();
    VirtualUsbBus::Instance().DetachAll();
  }

  SimReplayModelPtr Play(const RecordingBuilder& recording, SimReplayLatency latency = SimReplayLatency::Zero) {
    const SimRecordingResult loaded = ParseSimRecording(recording.Text(), "made.jsonl");
    EXPECT_NE(loaded.recording, nullptr) << loaded.error;
    std::string error;
    SimReplayModelPtr model = SimReplayModel::Create(VirtualUsbBus::Instance(), loaded.recording, "", latency, &error);
    EXPECT_NE(model, nullptr) << error;
    if (model) {
      EXPECT_TRUE(model->Plug());
      mModels.push_back(model);
    }
    return model;
  }

  // The device the model answers behind, once it is on the bus.
  static SimDevicePtr DeviceOf(const SimReplayModelPtr& model, uint16_t pid) {
    const auto until = std::chrono::steady_clock::now() + 5s;
    for (;;) {
      const SimDevicePtr device = model->CurrentDevice();
      if (device && device->Spec().productId == pid) return device;
      if (std::chrono::steady_clock::now() > until) return nullptr;
      std::this_thread::sleep_for(1ms);
    }
  }

  static SimControlRequestPtr Send(const SimDevicePtr& device, const SimSetupPacket& setup,
                                   std::vector<uint8_t> out = {}) {
    SimControlRequestPtr request = device->Submit(setup, out);
    request->WaitFor(2s);
    return request;
  }

  std::vector<SimReplayModelPtr> mModels;
};

TEST_F(SimReplayModelTest, EachRecordedResultIsAnsweredAsRecorded) {
  RecordingBuilder b;
  const RecordedNode node = Node(0x5E02);
  b.Arrival(0, "d1", node);
  b.Open(1, "d1", node.path, 1);
  b.Claim(2, "d1", 1, 2);
  b.Descriptor(3, "d1", 2, 3, 3, 0x0409, 255, kString3Answer);
  b.AltSetting(4, "d1", 2, 1, 31);
  b.AltSetting(5, "d1", 2, 0, 0);
  RecordedTransfer state = Transfer(10, kGetState);
  state.in = {0x02};
  b.Transfer(state);
  RecordedTransfer unlock = Transfer(20, kUnlock);
  unlock.out = {1, 2, 3, 4};
  b.Transfer(unlock);
  b.Transfer(Transfer(30, kGetStatus, 31));
  RecordedTransfer block0 = Transfer(40, kBlock0);
  block0.out = {0xAA, 0xBB, 0xCC, 0xDD};
  block0.outByDigest = true;
  block0.offset = 0;
  b.Transfer(block0);
  b.Timeout(60, "d1", 2, 300);
  b.Cancel(61, "d1", 2);
  b.Transfer(Transfer(50, kGetStatus, 995));
  RecordedTransfer block1 = Transfer(70, kBlock1, 1167);
  block1.out = {1, 1, 1, 1};
  block1.outByDigest = true;
  block1.offset = 4;
  b.Transfer(block1);

  const SimReplayModelPtr model = Play(b);
  ASSERT_NE(model, nullptr);
  const SimDevicePtr device = DeviceOf(model, 0x5E02);
  ASSERT_NE(device, nullptr);
  // Standard requests match by setup packet at any time, not in the recorded order.
  EXPECT_EQ(Send(device, Packet(0x01, 0x0B, 1, 0, 0))->Status(), SimTransferStatus::Stall);
  const SimControlRequestPtr text = Send(device, kString3);
  EXPECT_EQ(text->InData(), kString3Answer);
  EXPECT_EQ(Send(device, Packet(0x01, 0x0B, 0, 0, 0))->Status(), SimTransferStatus::Success);

  const SimControlRequestPtr s = Send(device, kGetState);
  EXPECT_EQ(s->Status(), SimTransferStatus::Success);
  EXPECT_EQ(s->InData(), std::vector<uint8_t>{0x02});
  EXPECT_EQ(Send(device, kUnlock, {1, 2, 3, 4})->Status(), SimTransferStatus::Success);
  EXPECT_EQ(Send(device, kGetStatus)->Status(), SimTransferStatus::Stall);
  EXPECT_EQ(Send(device, kBlock0, {0xAA, 0xBB, 0xCC, 0xDD})->Status(), SimTransferStatus::Success);
  // Never answered: the host's cancellation ends it.
  const SimControlRequestPtr lost = device->Submit(kGetStatus, {});
  EXPECT_FALSE(lost->WaitFor(50ms));
  device->Cancel(lost);
  EXPECT_TRUE(lost->WaitFor(2s));
  EXPECT_EQ(lost->Status(), SimTransferStatus::Cancelled);
  // The device went away during this one.
  EXPECT_EQ(Send(device, kBlock1, {1, 1, 1, 1})->Status(), SimTransferStatus::DeviceGone);
  EXPECT_FALSE(device->IsAttached());

  EXPECT_FALSE(model->Mismatch().has_value());
  EXPECT_TRUE(model->Finished());
  EXPECT_EQ(model->ReceivedImage(), (std::vector<uint8_t>{0xAA, 0xBB, 0xCC, 0xDD, 1, 1, 1, 1}));
}

TEST_F(SimReplayModelTest, FirstMismatchStopsTheReplayForGood) {
  RecordingBuilder b;
  b.Arrival(0, "d1", Node(0x5E02));
  RecordedTransfer unlock = Transfer(20, kUnlock);
  unlock.out = {1, 2, 3, 4};
  const size_t record = b.Transfer(unlock);
  b.Transfer(Transfer(30, kGetState));

  const SimReplayModelPtr model = Play(b);
  ASSERT_NE(model, nullptr);
  const SimDevicePtr device = DeviceOf(model, 0x5E02);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(Send(device, kUnlock, {1, 2, 3, 5})->Status(), SimTransferStatus::Stall);
  const std::optional<SimReplayMismatch> mismatch = model->Mismatch();
  ASSERT_TRUE(mismatch.has_value());
  EXPECT_EQ(mismatch->recordNumber, record);
  EXPECT_EQ(mismatch->expected, "UNLOCK_TARGET setup 41d4000000000400 out 4 bytes crc32 b63cfbcd");
  EXPECT_EQ(mismatch->actual, "UNLOCK_TARGET setup 41d4000000000400 out 4 bytes crc32 c13bcb5b");
  EXPECT_EQ(mismatch->text,
            "replay: made.jsonl: record 3: expected " + mismatch->expected + ", got " + mismatch->actual);
  // Even the request the recording had next is refused now.
  EXPECT_EQ(Send(device, kUnlock, {1, 2, 3, 4})->Status(), SimTransferStatus::Stall);
  EXPECT_EQ(model->Mismatch()->recordNumber, record);
  EXPECT_FALSE(model->Finished());
}

// A reset the recording shows the device leaving after, then arriving as its bootloader.
TEST_F(SimReplayModelTest, ResetLeavesAndArrivesWithTheRecordedIdentity) {
  RecordingBuilder b;
  const RecordedNode app = Node(0x5E01);
  const RecordedNode boot = Node(0x5E02);
  b.Arrival(0, "d1", app);
  b.Transfer(Transfer(10, kGetState));
  b.Reset(20, "d1", 2);
  b.Removal(30, "d1", app.path);
  b.Arrival(40, "d1", boot);
  b.Transfer(Transfer(50, kGetStatus));

  for (const SimReplayLatency latency : {SimReplayLatency::Zero, SimReplayLatency::Recorded}) {
    const SimReplayModelPtr model = Play(b, latency);
    ASSERT_NE(model, nullptr);
    const SimDevicePtr first = DeviceOf(model, 0x5E01);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Send(first, kGetState)->Status(), SimTransferStatus::Success);
    EXPECT_TRUE(VirtualUsbBus::Instance().ResetDevice(first->Id()));
    const SimDevicePtr second = DeviceOf(model, 0x5E02);
    ASSERT_NE(second, nullptr);
    EXPECT_FALSE(first->IsAttached());
    const std::optional<SimDeviceListEntry> listed = VirtualUsbBus::Instance().FindByInterfacePath(SimWiden(boot.path));
    ASSERT_TRUE(listed.has_value());
    EXPECT_EQ(SimNarrow(listed->instanceId), boot.instance);
    EXPECT_EQ(Send(second, kGetStatus)->Status(), SimTransferStatus::Success);
    EXPECT_TRUE(model->Finished());
    model->Unplug();
  }
}

// Without a removal after it in the recording, the device comes back from a reset as it was.
TEST_F(SimReplayModelTest, ResetWithoutRecordedRemovalKeepsTheIdentity) {
  RecordingBuilder b;
  b.Arrival(0, "d1", Node(0x5E02));
  b.Reset(20, "d1", 2);
  b.Transfer(Transfer(50, kGetStatus));
  const SimReplayModelPtr model = Play(b);
  ASSERT_NE(model, nullptr);
  const SimDevicePtr first = DeviceOf(model, 0x5E02);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(VirtualUsbBus::Instance().ResetDevice(first->Id()));
  const SimDevicePtr again = model->CurrentDevice();
  ASSERT_NE(again, nullptr);
  EXPECT_NE(again->Id(), first->Id());
  EXPECT_EQ(Send(again, kGetStatus)->Status(), SimTransferStatus::Success);
  EXPECT_TRUE(model->Finished());
}

// The end of a download (an acknowledged zero-length DFU_DNLOAD) hands over what came, once.
TEST_F(SimReplayModelTest, DownloadEndHandsOverTheReceivedImage) {
  RecordingBuilder b;
  b.Arrival(0, "d1", Node(0x5E02));
  RecordedTransfer block0 = Transfer(10, kBlock0);
  block0.out = {1, 2, 3, 4};
  block0.outByDigest = true;
  block0.offset = 0;
  b.Transfer(block0);
  const SimSetupPacket end = Packet(0x21, 0x01, 1, 0, 0);
  b.Transfer(Transfer(20, end));
  b.Transfer(Transfer(30, kGetStatus));
  b.Transfer(Transfer(40, end, 31));  // a stalled one ends nothing

  const SimReplayModelPtr model = Play(b);
  ASSERT_NE(model, nullptr);
  std::vector<std::vector<uint8_t>> handed;
  model->OnDownloadEnd([&handed](const std::vector<uint8_t>& image) { handed.push_back(image); });
  const SimDevicePtr device = DeviceOf(model, 0x5E02);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(Send(device, kBlock0, {1, 2, 3, 4})->Status(), SimTransferStatus::Success);
  EXPECT_TRUE(handed.empty());
  EXPECT_EQ(Send(device, end)->Status(), SimTransferStatus::Success);
  EXPECT_EQ(handed, (std::vector<std::vector<uint8_t>>{{1, 2, 3, 4}}));
  EXPECT_EQ(Send(device, kGetStatus)->Status(), SimTransferStatus::Success);
  EXPECT_EQ(Send(device, end)->Status(), SimTransferStatus::Stall);
  EXPECT_EQ(handed.size(), 1u);
  EXPECT_TRUE(model->Finished());
}

// A standard request the host retried is answered as each try was: a read that failed, then
// the retry that succeeded, and the last answer again for any later read.
TEST_F(SimReplayModelTest, RetriedStandardRequestIsAnsweredInRecordedOrder) {
  for (const uint32_t failed : {31u, 121u}) {
    RecordingBuilder b;
    b.Arrival(0, "d1", Node(0x5E02));
    b.Descriptor(1, "d1", 2, 3, 3, 0x0409, 255, {}, failed);
    b.Descriptor(2, "d1", 2, 3, 3, 0x0409, 255, kString3Answer);
    const SimReplayModelPtr model = Play(b);
    ASSERT_NE(model, nullptr);
    const SimDevicePtr device = DeviceOf(model, 0x5E02);
    ASSERT_NE(device, nullptr);
    const SimControlRequestPtr first = device->Submit(kString3, {});
    if (failed == 121) {
      EXPECT_FALSE(first->WaitFor(50ms)) << "a read that timed out is not answered";
      device->Cancel(first);
    } else {
      EXPECT_TRUE(first->WaitFor(2s));
      EXPECT_EQ(first->Status(), SimTransferStatus::Stall);
    }
    for (int again = 0; again < 2; ++again) {
      const SimControlRequestPtr retry = Send(device, kString3);
      EXPECT_EQ(retry->Status(), SimTransferStatus::Success) << "result " << failed << ", retry " << again;
      EXPECT_EQ(retry->InData(), kString3Answer);
    }
    model->Unplug();
  }
}

// Before the device leaves, only the request the system refused because it had gone may come
// (the host's timing may put it just before the removal); it fails with the removal. Any other
// request there is one the recording does not show.
struct BeforeRemovalCase {
  const char* name;
  bool refusedInRecording;  // the removal was seen from a refused DFU_GETSTATUS, not a listing
  SimSetupPacket sent;
  SimTransferStatus status;
  bool mismatch;
};

class SimReplayBeforeRemoval : public SimReplayModelTest, public ::testing::WithParamInterface<BeforeRemovalCase> {};

TEST_P(SimReplayBeforeRemoval, OnlyTheRefusedRequestMayCome) {
  const BeforeRemovalCase& c = GetParam();
  RecordingBuilder b;
  const RecordedNode node = Node(0x5E02);
  b.Arrival(0, "d1", node);
  b.Open(1, "d1", node.path, 1);
  b.Claim(2, "d1", 1, 2);
  b.Transfer(Transfer(10, kGetState));
  size_t removal = 0;
  if (c.refusedInRecording) {
    RecordedTransfer refused = Transfer(200000, kGetStatus, 1167);  // 200 ms later
    refused.submitError = true;
    removal = b.Transfer(refused);
  } else {
    removal = b.Removal(200000, "d1", node.path);
  }

  const SimReplayModelPtr model = Play(b, SimReplayLatency::Recorded);
  ASSERT_NE(model, nullptr);
  const SimDevicePtr device = DeviceOf(model, 0x5E02);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(Send(device, kGetState)->Status(), SimTransferStatus::Success);
  EXPECT_EQ(Send(device, c.sent)->Status(), c.status);
  const std::optional<SimReplayMismatch> mismatch = model->Mismatch();
  EXPECT_EQ(mismatch.has_value(), c.mismatch);
  if (mismatch) {
    EXPECT_EQ(mismatch->recordNumber, removal);
    EXPECT_EQ(mismatch->expected, c.refusedInRecording
                                      ? "the device's removal (refusing DFU_GETSTATUS setup a103000000000600)"
                                      : "the device's removal");
  } else {
    EXPECT_TRUE(model->Finished());
    EXPECT_FALSE(device->IsAttached());
  }
}

const BeforeRemovalCase kBeforeRemoval[] = {
    {"RefusedRequest", true, kGetStatus, SimTransferStatus::DeviceGone, false},
    {"OtherThanTheRefusedRequest", true, kGetState, SimTransferStatus::Stall, true},
    {"RefusedSetupWithOtherLength", true, Packet(0xA1, 0x03, 0, 0, 7), SimTransferStatus::Stall, true},
    {"AnyBeforeAListedRemoval", false, kGetStatus, SimTransferStatus::Stall, true},
};

INSTANTIATE_TEST_SUITE_P(Table, SimReplayBeforeRemoval, ::testing::ValuesIn(kBeforeRemoval),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimReplayModelTest, UnexpectedResetIsAMismatch) {
  RecordingBuilder b;
  b.Arrival(0, "d1", Node(0x5E02));
  const size_t record = b.Transfer(Transfer(10, kGetStatus));
  const SimReplayModelPtr model = Play(b);
  ASSERT_NE(model, nullptr);
  const SimDevicePtr device = DeviceOf(model, 0x5E02);
  ASSERT_NE(device, nullptr);
  VirtualUsbBus::Instance().ResetDevice(device->Id());
  ASSERT_TRUE(model->Mismatch().has_value());
  EXPECT_EQ(model->Mismatch()->recordNumber, record);
  EXPECT_EQ(model->Mismatch()->actual, "a USB reset");
}

// Teardown while the replay has work in flight: an answer delayed by its recorded latency and a
// removal and arrival due on the bus's scheduler when the owner unplugs and drops the model.
class SimReplayModelThreads : public SimReplayModelTest {};

TEST_F(SimReplayModelThreads, UnplugWhileAnswersAndBusStepsAreDue) {
  RecordingBuilder b;
  const RecordedNode app = Node(0x5E01);
  const RecordedNode boot = Node(0x5E02);
  b.Arrival(0, "d1", app);
  RecordedTransfer detach = Transfer(10, Packet(0x21, 0x00, 1000, 0, 0));
  detach.tComplete = 2010;  // answered after 2 ms
  b.Transfer(detach);
  b.Removal(4010, "d1", app.path);  // leaves 2 ms later
  b.Arrival(6010, "d1", boot);      // and is back 2 ms after that
  b.Transfer(Transfer(7000, kGetStatus));

  for (int round = 0; round < 24; ++round) {
    SimReplayModelPtr model = Play(b, SimReplayLatency::Recorded);
    ASSERT_NE(model, nullptr);
    const SimDevicePtr device = DeviceOf(model, 0x5E01);
    ASSERT_NE(device, nullptr);
    fbtest::ReplayModelReader reader(model);
    const SimControlRequestPtr request = device->Submit(Packet(0x21, 0x00, 1000, 0, 0), {});
    std::this_thread::sleep_for(std::chrono::microseconds(500 * (round % 12)));
    model->Unplug();
    reader.Stop();
    mModels.clear();
    model.reset();
    EXPECT_TRUE(request->WaitFor(2s));
    EXPECT_NE(request->Status(), SimTransferStatus::Pending);
    // Nothing that was due plays after the unplug: the device stays off the bus. A due task
    // that took the model before it was dropped is given a moment to end, then the bus's
    // events are waited for.
    std::this_thread::sleep_for(1ms);
    VirtualUsbBus::Instance().WaitIdle();
    EXPECT_TRUE(VirtualUsbBus::Instance().ListAllDevices().empty()) << "round " << round;
    VirtualUsbBus::Instance().DetachAll();
  }
}

// ---- device file keys ----

struct FileCase {
  const char* name;
  std::string text;
  std::string error;              // empty: accepted
  std::string receivedFile = "";  // accepted: the ReceivedFirmwareFile it names
};

class SimReplayDeviceFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(SimReplayDeviceFile, KeysAreCheckedWithTheRecording) {
  fbtest::TempDir dir;
  RecordingBuilder good;
  good.Arrival(0, "d1", Node(0x5E02));
  good.Arrival(0, "d2", Node(0x5E03));
  ASSERT_TRUE(good.Save(dir.File("good.jsonl").string()));
  ASSERT_TRUE(RecordingBuilder(7).Save(dir.File("newer.jsonl").string()));

  std::string error = GetParam().error;
  const size_t at = error.find("<dir>");
  if (at != std::string::npos) error.replace(at, 5, (dir.Path() / "").string());
  const SimDeviceFileResult r = ParseSimDeviceFile(GetParam().text, TestGuid(), dir.Path());
  EXPECT_EQ(r.error, error);
  EXPECT_EQ(r.ok, error.empty());
  if (r.ok) {
    ASSERT_EQ(r.replayDevices.size(), 1u);
    ASSERT_TRUE(r.replayDevices[0].has_value());
    EXPECT_EQ(r.specs.at(0).productId, r.replayDevices[0]->label == "d2" ? 0x5E03 : 0x5E02);
    EXPECT_EQ(r.replayDevices[0]->receivedFirmwareFile, GetParam().receivedFile);
  }
}

const FileCase kFileCases[] = {
    {"Accepted", "[Device]\nModel = replay\nRecording = good.jsonl\n", ""},
    {"SecondDeviceWithoutLatency",
     "[Device]\nModel = replay\nRecording = good.jsonl\nRecordedDevice = d2\nLatency = zero\n", ""},
    {"ReceivedFirmwareFile", "[Device]\nModel = replay\nReceivedFirmwareFile = got.bin\nRecording = good.jsonl\n", "",
     "got.bin"},
    {"Target0ReceivedFirmwareFile",
     "[Device]\nModel = replay\nRecording = good.jsonl\nTarget0.ReceivedFirmwareFile = t0.bin\n", "", "t0.bin"},
    {"OtherTargetsFile", "[Device]\nModel = replay\nRecording = good.jsonl\nTarget1.ReceivedFirmwareFile = t1.bin\n",
     "line 4: 'target1.receivedfirmwarefile' does not apply to a replayed device: it takes its identity and "
     "descriptors from the recording"},
    {"DescriptionKey", "[Device]\nModel = replay\nVendorId = 0x1209\nRecording = good.jsonl\n",
     "line 3: 'vendorid' does not apply to a replayed device: it takes its identity and descriptors from the "
     "recording"},
    {"DfuKey", "[Device]\nRecording = good.jsonl\nModel = replay\nRunMode = bootloader\n",
     "line 4: 'runmode' does not apply to a replayed device: it takes its identity and descriptors from the "
     "recording"},
    {"NoRecording", "[Device]\nModel = replay\n", "line 2: 'Model = replay' needs 'Recording'"},
    {"RecordingWithoutModel", "[Device]\nLatency = zero\n", "line 2: 'latency' needs 'Model = replay'"},
    {"BadLatency", "[Device]\nModel = replay\nRecording = good.jsonl\nLatency = slow\n",
     "line 4: invalid value 'slow' for 'latency': 'recorded' or 'zero'"},
    {"MissingFile", "[Device]\nModel = replay\nRecording = gone.jsonl\n",
     "line 3: cannot replay the recording: <dir>gone.jsonl: cannot open the recording"},
    {"NewerVersion", "[Device]\nModel = replay\nRecording = newer.jsonl\n",
     "line 3: cannot replay the recording: <dir>newer.jsonl: record 1: recording format version 7 is newer than "
     "this library reads (supported: 1)"},
    {"UnknownDevice", "[Device]\nModel = replay\nRecording = good.jsonl\nRecordedDevice = d9\n",
     "line 3: cannot replay the recording: <dir>good.jsonl: the recording has no device 'd9'"},
};

INSTANTIATE_TEST_SUITE_P(Table, SimReplayDeviceFile, ::testing::ValuesIn(kFileCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace plendrik::sim
