// The simulated DFU device driven directly: requests handed to the model, time stepped by hand,
// bus arrivals and removals recorded by a stand-in bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "device/QXBuildBootloaderUnlockReq.h"
#include "sim/SimDfuDevice.h"
#include "sim/SimDfuDeviceFixture.h"

namespace plendrik::sim {
namespace {

using namespace std::chrono_literals;
using namespace testing_support;
using dfu::State;

std::vector<uint8_t> Header(uint32_t targetId, std::array<uint16_t, 4> version) {
  std::vector<uint8_t> h(60, 0);
  h[0] = 60;
  h[2] = 1;
  const uint8_t marker[4] = {0xDE, 0xAD, 0xBE, 0xE1};
  std::memcpy(h.data() + 4, marker, 4);
  std::memcpy(h.data() + 8, "QX#IMG#METADATA#", 16);
  h[24] = 60;
  for (int i = 0; i < 4; ++i) {
    h[32 + i] = static_cast<uint8_t>(targetId >> (8 * i));
  }
  for (int i = 0; i < 4; ++i) {
    h[40 + 2 * i] = static_cast<uint8_t>(version[i] & 0xFF);
    h[41 + 2 * i] = static_cast<uint8_t>(version[i] >> 8);
  }
  return h;
}

TEST_F(SimDfuDeviceTest, DescriptorsOfBothRunModes) {
  SimDfuDeviceConfig config = Config(SimRunMode::Application);
  config.applicationProductId = 0x1111;
  config.bootloaderProductId = 0x2222;
  config.applicationDfuInterface = 2;
  config.bootloaderDfuInterface = 0;
  config.bmAttributes = dfu::kCanDnload | dfu::kWillDetach;
  config.wDetachTimeOut = 0x01F4;
  config.wTransferSize = 0x0800;
  SimInterfaceSpec audio;
  audio.interfaceNumber = 0;
  audio.altSettings[0].interfaceClass = 0x01;
  audio.altSettings[0].interfaceProtocol = 0;
  config.otherApplicationInterfaces = {audio};
  config.targets = {SimDfuTargetConfig{QXW("factory")}, SimDfuTargetConfig{QXW("upgrade")}, SimDfuTargetConfig{}};
  Start(config);

  const std::vector<uint8_t> functional{9, 0x21, 0x09, 0xF4, 0x01, 0x00, 0x08, 0x10, 0x01};
  const SimDeviceSpec app = mDevice->BuildSpec(SimRunMode::Application);
  EXPECT_EQ(app.productId, 0x1111);
  ASSERT_EQ(app.configurations.size(), 1u);
  const auto& appInterfaces = app.configurations[0].interfaces;
  ASSERT_EQ(appInterfaces.size(), 2u);
  EXPECT_EQ(appInterfaces[0].interfaceNumber, 0);
  EXPECT_EQ(appInterfaces[0].altSettings[0].interfaceClass, 0x01);
  EXPECT_EQ(appInterfaces[1].interfaceNumber, 2);
  ASSERT_EQ(appInterfaces[1].altSettings.size(), 1u);
  EXPECT_EQ(appInterfaces[1].altSettings[0].interfaceClass, 0xFE);
  EXPECT_EQ(appInterfaces[1].altSettings[0].interfaceSubClass, 0x01);
  EXPECT_EQ(appInterfaces[1].altSettings[0].interfaceProtocol, 1);
  EXPECT_EQ(appInterfaces[1].altSettings[0].functionalDescriptors, std::vector<std::vector<uint8_t>>{functional});
  EXPECT_TRUE(app.identity.composite);
  EXPECT_EQ(app.identity.compositeInterfaces, std::vector<uint8_t>{2});
  EXPECT_EQ(app.strings.at(app.iSerialNumber), QXW("SIM0001"));

  const SimDeviceSpec boot = mDevice->BuildSpec(SimRunMode::Bootloader);
  EXPECT_EQ(boot.productId, 0x2222);
  EXPECT_FALSE(boot.identity.composite);
  // Wire bytes: one interface with three alternate settings of protocol 2 and one functional
  // descriptor after the last.
  const std::vector<uint8_t> bytes = BuildSimConfigurationDescriptor(boot.configurations[0]);
  ASSERT_EQ(bytes.size(), 9u + 3 * 9 + 9);
  EXPECT_EQ(bytes[4], 1);  // bNumInterfaces
  for (int alt = 0; alt < 3; ++alt) {
    const uint8_t* d = bytes.data() + 9 + 9 * alt;
    EXPECT_EQ(d[1], 4);
    EXPECT_EQ(d[2], 0);
    EXPECT_EQ(d[3], alt);
    EXPECT_EQ(d[5], 0xFE);
    EXPECT_EQ(d[7], 2);
  }
  EXPECT_EQ(boot.strings.at(bytes[9 + 8]), QXW("factory"));
  EXPECT_EQ(bytes[9 + 9 * 2 + 8], 0);  // the unnamed target has no string
  EXPECT_EQ(std::vector<uint8_t>(bytes.end() - 9, bytes.end()), functional);
  // The plugged-in device is the application.
  EXPECT_EQ(mDevice->CurrentDevice()->Spec().productId, 0x1111);
}

TEST_F(SimDfuDeviceTest, WholeDownloadKeepsEveryByte) {
  Start(Config());
  const std::vector<uint8_t> image = Pattern(10000, 3);
  uint16_t block = 0;
  for (size_t offset = 0; offset < image.size(); offset += 4096, ++block) {
    const size_t n = std::min<size_t>(4096, image.size() - offset);
    ASSERT_EQ(Dnload(block, std::vector<uint8_t>(image.begin() + offset, image.begin() + offset + n))->Status(),
              SimTransferStatus::Success);
    EXPECT_EQ(GetState(), State::dfuDNLOAD_SYNC);
    EXPECT_EQ(GetStatus().state, State::dfuDNLOAD_IDLE);
  }
  EXPECT_EQ(block, 3);
  // Nothing is committed before manifestation.
  EXPECT_FALSE(mDevice->Firmware(0).has_value());
  ASSERT_EQ(Dnload(3, {})->Status(), SimTransferStatus::Success);
  EXPECT_EQ(GetState(), State::dfuMANIFEST_SYNC);
  const StatusRecord manifest = GetStatus();
  EXPECT_EQ(manifest.state, State::dfuMANIFEST);
  EXPECT_EQ(manifest.bStatus, dfu::kOK);
  EXPECT_EQ(GetStatus().state, State::dfuIDLE);
  EXPECT_EQ(mDevice->Firmware(0), image);
  EXPECT_EQ(mDevice->ManifestationCount(), 1u);

  // A second, shorter image replaces the first entirely.
  const std::vector<uint8_t> second = Pattern(100, 9);
  Download(second);
  Manifest();
  EXPECT_EQ(mDevice->Firmware(0), second);
  EXPECT_TRUE(mDevice->IsOnBus());
}

TEST_F(SimDfuDeviceTest, BusyForTheFlashWriteTimeAnsweredWithPollTimeout) {
  SimDfuDeviceConfig config = Config();
  config.pollTimeoutMs = 0x012345;  // all three bytes of bwPollTimeout
  config.flashWritePerBlock = 50ms;
  Start(config);
  Dnload(0, Pattern(64, 1));
  StatusRecord s = GetStatus();
  EXPECT_EQ(s.state, State::dfuDNBUSY);
  EXPECT_EQ(s.pollTimeout, 0x012345u);
  EXPECT_EQ(GetStatus().state, State::dfuDNBUSY);  // polled too early: still busy
  mBus.Clock().Advance(49ms);
  EXPECT_EQ(GetStatus().state, State::dfuDNBUSY);
  mBus.Clock().Advance(1ms);
  EXPECT_EQ(GetState(), State::dfuDNLOAD_SYNC);
  EXPECT_EQ(GetStatus().state, State::dfuDNLOAD_IDLE);
}

TEST_F(SimDfuDeviceTest, SyncAnswersBeforeTheWriteStarts) {
  SimDfuDeviceConfig config = Config();
  config.pollTimeoutMs = 10;
  config.flashWritePerBlock = 10ms;
  config.syncAnswers = 1;
  Start(config);
  Dnload(0, Pattern(64, 1));
  EXPECT_EQ(GetStatus().state, State::dfuDNLOAD_SYNC);
  EXPECT_EQ(GetStatus().state, State::dfuDNBUSY);
  mBus.Clock().Advance(10ms);
  EXPECT_EQ(GetStatus().state, State::dfuDNLOAD_IDLE);
  // Manifestation too first reports dfuMANIFEST_SYNC once.
  Dnload(1, {});
  EXPECT_EQ(GetStatus().state, State::dfuMANIFEST_SYNC);
  EXPECT_EQ(GetStatus().state, State::dfuMANIFEST);
  EXPECT_EQ(GetStatus().state, State::dfuIDLE);
}

TEST_F(SimDfuDeviceTest, WrongRequestsStallIntoDfuErrorUntilClrStatus) {
  SimDfuDeviceConfig config = Config();
  config.wTransferSize = 256;
  config.flashWritePerBlock = 5ms;
  Start(config);

  const auto expectStallIntoError = [this](const SimControlRequestPtr& r, uint8_t status, const char* what) {
    EXPECT_EQ(r->Status(), SimTransferStatus::Stall) << what;
    const StatusRecord s = GetStatus();
    EXPECT_EQ(s.state, State::dfuERROR) << what;
    EXPECT_EQ(s.bStatus, status) << what;
    // In dfuERROR only the status requests and DFU_CLRSTATUS are answered.
    EXPECT_EQ(Out(dfu::kAbort)->Status(), SimTransferStatus::Stall) << what;
    EXPECT_EQ(Dnload(0, Pattern(16, 0))->Status(), SimTransferStatus::Stall) << what;
    EXPECT_EQ(GetStatus().bStatus, status) << what;
    EXPECT_EQ(Out(dfu::kClrStatus)->Status(), SimTransferStatus::Success) << what;
    const StatusRecord cleared = GetStatus();
    EXPECT_EQ(cleared.state, State::dfuIDLE) << what;
    EXPECT_EQ(cleared.bStatus, dfu::kOK) << what;
  };

  expectStallIntoError(Out(dfu::kClrStatus), dfu::errSTALLEDPKT, "CLRSTATUS in dfuIDLE");
  expectStallIntoError(Dnload(0, {}), dfu::errSTALLEDPKT, "zero-length DNLOAD in dfuIDLE");
  expectStallIntoError(Send(dfu::kClassIn, dfu::kUpload, 0, 64), dfu::errSTALLEDPKT, "UPLOAD");
  expectStallIntoError(Dnload(0, Pattern(257, 0)), dfu::errSTALLEDPKT, "block above wTransferSize");
  expectStallIntoError(Dnload(1, Pattern(16, 0)), dfu::errADDRESS, "download not starting at block 0");
  expectStallIntoError(Send(0x21, 0x7E, 0, 0), dfu::errSTALLEDPKT, "unknown class request");

  Dnload(0, Pattern(16, 0));
  expectStallIntoError(Out(dfu::kAbort), dfu::errSTALLEDPKT, "ABORT in dfuDNLOAD_SYNC");
  Dnload(0, Pattern(16, 0));
  EXPECT_EQ(GetStatus().state, State::dfuDNBUSY);
  expectStallIntoError(Dnload(1, Pattern(16, 0)), dfu::errSTALLEDPKT, "DNLOAD in dfuDNBUSY");
  Dnload(0, Pattern(16, 0));
  GetStatus();
  mBus.Clock().Advance(5ms);
  EXPECT_EQ(GetStatus().state, State::dfuDNLOAD_IDLE);
  expectStallIntoError(Dnload(0, Pattern(16, 0)), dfu::errADDRESS, "block number repeated");
  // The failed download was dropped: nothing committed, and a fresh download starts at block 0.
  Download(Pattern(300, 5));
  Manifest();
  EXPECT_EQ(mDevice->Firmware(0), Pattern(300, 5));
}

TEST_F(SimDfuDeviceTest, AbortDropsTheDownloadAndKeepsTheFirmware) {
  SimDfuDeviceConfig config = Config();
  config.targets[0].firmware = Pattern(32, 77);
  Start(config);
  EXPECT_EQ(Out(dfu::kAbort)->Status(), SimTransferStatus::Success);  // nothing to abort
  EXPECT_EQ(GetState(), State::dfuIDLE);
  Dnload(0, Pattern(4096, 1));
  GetStatus();
  Dnload(1, Pattern(10, 1));
  EXPECT_EQ(GetStatus().state, State::dfuDNLOAD_IDLE);
  EXPECT_EQ(Out(dfu::kAbort)->Status(), SimTransferStatus::Success);
  EXPECT_EQ(GetState(), State::dfuIDLE);
  EXPECT_EQ(mDevice->Firmware(0), Pattern(32, 77));
  // A zero-length block right after the abort does not manifest the dropped data.
  EXPECT_EQ(Dnload(2, {})->Status(), SimTransferStatus::Stall);
  EXPECT_EQ(mDevice->Firmware(0), Pattern(32, 77));
}

TEST_F(SimDfuDeviceTest, DetachLeavesAndRejoinsAsTheSameDevice) {
  SimDfuDeviceConfig config = Config(SimRunMode::Application);
  config.applicationProductId = 0x0A0A;
  config.bootloaderProductId = 0x0B0B;
  config.detachDelay.reset();  // wDetachTimeOut decides
  config.wDetachTimeOut = 500;
  config.rejoinDelay = 200ms;
  Start(config);
  EXPECT_EQ(GetStatus().state, State::appIDLE);
  EXPECT_EQ(GetState(), State::appIDLE);
  EXPECT_EQ(Dnload(0, Pattern(8, 0))->Status(), SimTransferStatus::Stall);  // no download in the application
  EXPECT_EQ(GetState(), State::appIDLE);

  EXPECT_EQ(Out(dfu::kDetach, 500)->Status(), SimTransferStatus::Success);
  EXPECT_EQ(GetStatus().state, State::appDETACH);
  mBus.Clock().Advance(499ms);
  EXPECT_TRUE(mDevice->IsOnBus());
  mBus.Clock().Advance(1ms);
  EXPECT_FALSE(mDevice->IsOnBus());
  mBus.Clock().Advance(199ms);
  EXPECT_FALSE(mDevice->IsOnBus());
  mBus.Clock().Advance(1ms);
  ASSERT_TRUE(mDevice->IsOnBus());
  ASSERT_EQ(mBus.events.size(), 3u);
  EXPECT_FALSE(mBus.events[1].arrival);
  EXPECT_EQ(mBus.events[1].productId, 0x0A0A);
  EXPECT_TRUE(mBus.events[2].arrival);
  EXPECT_EQ(mBus.events[2].productId, 0x0B0B);
  EXPECT_NE(mBus.events[2].deviceId, mBus.events[0].deviceId);
  EXPECT_EQ(mDevice->RunMode(), SimRunMode::Bootloader);
  EXPECT_EQ(mDevice->CurrentDevice()->Spec().configurations[0].interfaces[0].altSettings[0].interfaceProtocol, 2);
  EXPECT_EQ(GetState(), State::dfuIDLE);

  // The firmware received survives going back to the application and into the bootloader again.
  Download(Pattern(5000, 4));
  Manifest();
  EXPECT_EQ(Out(dfu::kDetach, 500)->Status(), SimTransferStatus::Success);
  mBus.Clock().Advance(700ms);
  EXPECT_EQ(mDevice->RunMode(), SimRunMode::Application);
  EXPECT_EQ(mDevice->CurrentDevice()->Spec().productId, 0x0A0A);
  Out(dfu::kXmosToBootloader);
  mBus.Clock().Advance(200ms);
  EXPECT_EQ(mDevice->RunMode(), SimRunMode::Bootloader);
  EXPECT_EQ(mDevice->Firmware(0), Pattern(5000, 4));
  EXPECT_EQ(mBus.events.size(), 7u);
}

TEST_F(SimDfuDeviceTest, UnplugBetweenLeavingAndRejoiningStopsTheRejoin) {
  SimDfuDeviceConfig config = Config(SimRunMode::Application);
  config.rejoinDelay = 100ms;
  Start(config);
  EXPECT_EQ(Out(dfu::kDetach, 0)->Status(), SimTransferStatus::Success);
  mBus.Clock().Advance(0us);
  ASSERT_FALSE(mDevice->IsOnBus());
  EXPECT_FALSE(mDevice->Unplug());  // nothing on the bus to pull
  mBus.Clock().Advance(1s);
  EXPECT_FALSE(mDevice->IsOnBus()) << "an unplugged device joined the bus again";
  EXPECT_EQ(mBus.events.size(), 2u);
  // Plugged in by hand, it comes back.
  EXPECT_TRUE(mDevice->Plug());
  EXPECT_TRUE(mDevice->IsOnBus());
}

TEST_F(SimDfuDeviceTest, StaleDeviceGetsNoAnswer) {
  SimDfuDeviceConfig config = Config(SimRunMode::Application);
  Start(config);
  const SimDevicePtr old = mDevice->CurrentDevice();
  Out(dfu::kXmosToBootloader);
  mBus.Clock().Advance(0us);
  ASSERT_NE(mDevice->CurrentDevice(), old);
  auto r = std::make_shared<SimControlRequest>(SimSetupPacket{dfu::kClassIn, dfu::kGetState, 0, 0, 1},
                                               std::vector<uint8_t>{});
  mDevice->HandleRequest(*old, r);
  EXPECT_EQ(r->Status(), SimTransferStatus::DeviceGone);
}

TEST_F(SimDfuDeviceTest, XmosRequestsAndTargetSelection) {
  SimDfuDeviceConfig config = Config(SimRunMode::Application);
  config.targets.resize(3);
  config.targets[2].firmware = Pattern(8, 2);
  Start(config);
  EXPECT_EQ(Out(dfu::kXmosToApplication)->Status(), SimTransferStatus::Success);  // runs it already
  EXPECT_TRUE(mDevice->IsOnBus());
  EXPECT_EQ(Out(dfu::kXmosToBootloader)->Status(), SimTransferStatus::Success);
  EXPECT_EQ(GetState(), State::appDETACH);
  mBus.Clock().Advance(0us);
  ASSERT_EQ(mDevice->RunMode(), SimRunMode::Bootloader);

  EXPECT_EQ(Out(dfu::kXmosSelectImage, 1)->Status(), SimTransferStatus::Success);
  EXPECT_EQ(mDevice->SelectedTarget(), 1);
  Download(Pattern(20, 1));
  Manifest();
  EXPECT_EQ(mDevice->Firmware(1), Pattern(20, 1));
  EXPECT_EQ(mDevice->Firmware(2), Pattern(8, 2));
  EXPECT_FALSE(mDevice->Firmware(0).has_value());

  EXPECT_EQ(Out(dfu::kXmosSelectImage, 3)->Status(), SimTransferStatus::Stall);
  EXPECT_EQ(GetStatus().bStatus, dfu::errTARGET);
  Out(dfu::kClrStatus);

  // SET_INTERFACE, which the device answers itself, selects the target as well.
  const SimControlRequestPtr set = mDevice->CurrentDevice()->Submit(SimSetupPacket{0x01, 0x0B, 2, 0, 0}, {});
  ASSERT_EQ(set->Status(), SimTransferStatus::Success);
  Download(Pattern(30, 6));
  Manifest();
  EXPECT_EQ(mDevice->Firmware(2), Pattern(30, 6));
  // Whichever selection came last counts.
  mDevice->CurrentDevice()->Submit(SimSetupPacket{0x01, 0x0B, 0, 0, 0}, {});
  Out(dfu::kXmosSelectImage, 1);
  Download(Pattern(40, 7));
  Manifest();
  EXPECT_EQ(mDevice->Firmware(1), Pattern(40, 7));
  EXPECT_FALSE(mDevice->Firmware(0).has_value());

  EXPECT_EQ(Out(dfu::kXmosToApplication)->Status(), SimTransferStatus::Success);
  mBus.Clock().Advance(0us);
  EXPECT_EQ(mDevice->RunMode(), SimRunMode::Application);
  EXPECT_EQ(mDevice->Firmware(1), Pattern(40, 7));
  // Requests to another interface than the DFU interface are not the model's.
  EXPECT_EQ(Send(dfu::kClassIn, dfu::kGetState, 0, 1, {}, 1)->Status(), SimTransferStatus::Stall);
}

// The request log keeps the last kRequestLogCapacity requests; positions count every request,
// dropped ones included, so that a reader can go on from where it stopped.
TEST(SimDeviceRequestLogTest, KeepsTheLastRequestsAndCountsEveryOne) {
  constexpr size_t kCapacity = SimDevice::kRequestLogCapacity;
  const auto device = std::make_shared<SimDevice>(1, SimDeviceSpec{});
  for (size_t i = 0; i < kCapacity + 10; ++i) {
    // A class request the device has no model for: stalled, but logged.
    device->Submit(SimSetupPacket{0x21, 0x33, static_cast<uint16_t>(i), 0, 0}, {});
  }
  EXPECT_EQ(device->RequestCount(), kCapacity + 10);
  const std::vector<SimSetupPacket> log = device->RequestLog();
  ASSERT_EQ(log.size(), kCapacity);
  for (size_t i = 0; i < log.size(); ++i) {
    ASSERT_EQ(log[i].wValue, i + 10) << i;  // oldest first, the first ten dropped
  }
  size_t next = 0;
  std::vector<SimSetupPacket> tail = device->RequestLogSince(kCapacity + 5, &next);
  ASSERT_EQ(tail.size(), 5u);
  EXPECT_EQ(tail.front().wValue, kCapacity + 5);
  EXPECT_EQ(next, kCapacity + 10);
  // From a dropped position on: what is still held.
  tail = device->RequestLogSince(3, &next);
  ASSERT_EQ(tail.size(), kCapacity);
  EXPECT_EQ(tail.front().wValue, 10);
  // Nothing new, or a position beyond the end.
  EXPECT_TRUE(device->RequestLogSince(kCapacity + 10, &next).empty());
  EXPECT_TRUE(device->RequestLogSince(kCapacity + 99, &next).empty());
  EXPECT_EQ(next, kCapacity + 10);
}

// The target chosen by SET_INTERFACE is still found after more requests than the log holds.
TEST_F(SimDfuDeviceTest, TargetSelectionSurvivesALongRequestLog) {
  SimDfuDeviceConfig config = Config();
  config.targets.resize(3);
  Start(config);
  const SimDevicePtr device = mDevice->CurrentDevice();
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(device->Submit(SimSetupPacket{0x01, 0x0B, 1, 0, 0}, {})->Status(), SimTransferStatus::Success);
  Download(Pattern(20, 1));
  Manifest();
  EXPECT_EQ(mDevice->Firmware(1), Pattern(20, 1));
  for (size_t i = 0; i < SimDevice::kRequestLogCapacity + 100; ++i) {
    device->Submit(SimSetupPacket{0x80, 0x06, 0x0100, 0, 18}, {});  // GET_DESCRIPTOR(device)
  }
  ASSERT_EQ(device->Submit(SimSetupPacket{0x01, 0x0B, 2, 0, 0}, {})->Status(), SimTransferStatus::Success);
  Download(Pattern(30, 6));
  Manifest();
  EXPECT_EQ(mDevice->Firmware(2), Pattern(30, 6));
  EXPECT_EQ(mDevice->Firmware(1), Pattern(20, 1));
}

TEST_F(SimDfuDeviceTest, ManifestationTolerantAndNot) {
  SimDfuDeviceConfig tolerant = Config();
  tolerant.pollTimeoutMs = 5;
  tolerant.manifestationTime = 30ms;
  Start(tolerant);
  Download(Pattern(100, 1));
  EXPECT_EQ(GetStatus().state, State::dfuMANIFEST);
  EXPECT_EQ(GetStatus().state, State::dfuMANIFEST);
  // Refused while the image is committed, which goes on.
  EXPECT_EQ(Out(dfu::kAbort)->Status(), SimTransferStatus::Stall);
  EXPECT_EQ(GetState(), State::dfuMANIFEST);
  EXPECT_FALSE(mDevice->Firmware(0).has_value());
  mBus.Clock().Advance(30ms);
  EXPECT_EQ(GetState(), State::dfuMANIFEST_SYNC);
  EXPECT_EQ(GetStatus().state, State::dfuIDLE);
  EXPECT_EQ(mDevice->Firmware(0), Pattern(100, 1));
  EXPECT_TRUE(mDevice->IsOnBus());

  SimDfuDeviceConfig intolerant = Config();
  intolerant.bmAttributes = dfu::kCanDnload | dfu::kWillDetach;
  intolerant.manifestationTime = 30ms;
  intolerant.detachDelay = 10ms;
  intolerant.rejoinDelay = 100ms;
  intolerant.applicationProductId = 0x00AA;
  mBus.events.clear();
  Start(intolerant);
  Download(Pattern(9000, 2));
  EXPECT_EQ(GetStatus().state, State::dfuMANIFEST);
  // The host is done with a device that is not manifestation tolerant; its reboot request
  // during the manifestation is refused and does not cost the new firmware.
  EXPECT_EQ(Out(dfu::kDetach, 1000)->Status(), SimTransferStatus::Stall);
  mBus.Clock().Advance(30ms);
  EXPECT_EQ(mDevice->State(), State::dfuMANIFEST_WAIT_RESET);
  EXPECT_EQ(Send(dfu::kClassIn, dfu::kGetStatus, 0, 6)->Status(), SimTransferStatus::Stall);
  EXPECT_EQ(mDevice->Firmware(0), Pattern(9000, 2));
  mBus.Clock().Advance(10ms);
  EXPECT_FALSE(mDevice->IsOnBus());
  mBus.Clock().Advance(100ms);
  ASSERT_TRUE(mDevice->IsOnBus());
  EXPECT_EQ(mDevice->RunMode(), SimRunMode::Application);
  EXPECT_EQ(mBus.events.back().productId, 0x00AA);
  EXPECT_EQ(GetState(), State::appIDLE);
  EXPECT_EQ(mDevice->Firmware(0), Pattern(9000, 2));
}

TEST_F(SimDfuDeviceTest, UnlockHandshake) {
  SimDfuDeviceConfig config = Config();
  config.targets.resize(2);
  config.targets[1].locked = true;
  config.randomSeed.reset();
  Start(config);
  Out(dfu::kXmosSelectImage, 1);
  EXPECT_TRUE(mDevice->IsLocked(1));
  EXPECT_EQ(Dnload(0, Pattern(16, 0))->Status(), SimTransferStatus::Stall);
  EXPECT_EQ(GetState(), State::dfuERROR);
  Out(dfu::kClrStatus);

  const auto token = [this](uint16_t target) {
    const auto r = Send(dfu::kVendorIn, dfu::kPrivGetUnlockToken, target, 80);
    EXPECT_EQ(r->Status(), SimTransferStatus::Success);
    EXPECT_EQ(r->TransferredLength(), 80u);
    std::vector<uint8_t> data = r->InData();
    data.resize(80);
    return data;
  };
  const auto requestFor = [](const std::vector<uint8_t>& t) {
    uint8_t raw[80];
    std::memcpy(raw, t.data(), 80);
    uint8_t mac[32] = {};
    EXPECT_EQ(QXBuildBootloaderUnlockReq(mac, raw), 0u);
    return std::vector<uint8_t>(mac, mac + 32);
  };
  const auto unlock = [this](const std::vector<uint8_t>& mac) {
    return Send(dfu::kVendorOut, dfu::kPrivUnlockTarget, 0, 32, mac)->Status();
  };

  // A token made wrong on purpose, for hosts that must refuse it.
  mDevice->AddFault(SimDfuFault{SimDfuFaultAction::PatchAnswer, SimDfuRequestKind::GetUnlockToken, std::nullopt, 0, 1,
                                dfu::errUNKNOWN, 0, 0, 0x40});
  EXPECT_EQ(token(1)[0], 0x40);

  const std::vector<uint8_t> first = token(1);
  EXPECT_EQ(first[0], 80);
  EXPECT_EQ(first[1], 0);
  const std::vector<uint8_t> second = token(1);
  EXPECT_NE(std::vector<uint8_t>(first.begin() + 16, first.end()),
            std::vector<uint8_t>(second.begin() + 16, second.end()));

  // Only the latest token counts, and a wrong answer uses it up.
  EXPECT_EQ(unlock(requestFor(first)), SimTransferStatus::Stall);
  EXPECT_EQ(GetStatus().bStatus, dfu::errSTALLEDPKT);
  Out(dfu::kClrStatus);
  EXPECT_EQ(unlock(requestFor(second)), SimTransferStatus::Stall);
  Out(dfu::kClrStatus);
  EXPECT_TRUE(mDevice->IsLocked(1));

  std::vector<uint8_t> wrong = requestFor(token(1));
  wrong[31] ^= 0x01;
  EXPECT_EQ(unlock(wrong), SimTransferStatus::Stall);
  Out(dfu::kClrStatus);
  EXPECT_TRUE(mDevice->IsLocked(1));

  EXPECT_EQ(unlock(requestFor(token(1))), SimTransferStatus::Success);
  EXPECT_FALSE(mDevice->IsLocked(1));
  Download(Pattern(50, 3));
  Manifest();
  EXPECT_EQ(mDevice->Firmware(1), Pattern(50, 3));

  // The unlock lasts until the device leaves the bus.
  mDevice->Unplug();
  mDevice->Plug();
  EXPECT_TRUE(mDevice->IsLocked(1));
  EXPECT_EQ(Send(dfu::kVendorIn, dfu::kPrivGetUnlockToken, 2, 80)->Status(), SimTransferStatus::Stall);
}

TEST_F(SimDfuDeviceTest, CompatibilityFromTheStoredHeader) {
  SimDfuDeviceConfig config = Config();
  config.targets.resize(3);
  config.targets[0].acceptedTargetId = 0x20B10008;
  config.targets[0].minimumVersion = {2, 39, 0, 0};
  config.targets[2].compatibilityAnswer = 0x4007;
  Start(config);
  const auto check = [this](uint16_t target) {
    const auto r = Send(dfu::kVendorIn, dfu::kPrivCheckCompatibility, target, 4);
    EXPECT_EQ(r->Status(), SimTransferStatus::Success);
    const auto d = r->InData();
    return d.size() == 4 ? static_cast<uint32_t>(d[0] | d[1] << 8 | d[2] << 16 | d[3] << 24) : 0xFFFFFFFFu;
  };
  const auto store = [this](const std::vector<uint8_t>& header) {
    return Send(dfu::kVendorOut, dfu::kPrivStoreHeader, 0, static_cast<uint16_t>(header.size()), header)->Status();
  };

  EXPECT_EQ(check(0), dfu::kCompatNoHeader);
  ASSERT_EQ(store(Header(0x20B10008, {2, 39, 0, 0})), SimTransferStatus::Success);
  EXPECT_EQ(mDevice->StoredHeader(), Header(0x20B10008, {2, 39, 0, 0}));
  EXPECT_EQ(check(0), dfu::kCompatible);
  EXPECT_EQ(check(1), dfu::kCompatible);  // target 1 takes any image
  EXPECT_EQ(check(2), 0x4007u);
  EXPECT_EQ(check(3), dfu::kCompatNoSuchTarget);
  store(Header(0x20B10008, {3, 0, 0, 0}));
  EXPECT_EQ(check(0), dfu::kCompatible);
  store(Header(0x20B10008, {2, 38, 9, 9}));
  EXPECT_EQ(check(0), dfu::kCompatTooOld);
  store(Header(0x20B10009, {2, 39, 0, 0}));
  EXPECT_EQ(check(0), dfu::kCompatWrongTarget);
  std::vector<uint8_t> broken = Header(0x20B10008, {2, 39, 0, 0});
  broken[8] = 'x';
  store(broken);
  EXPECT_EQ(check(0), dfu::kCompatBadHeader);

  EXPECT_EQ(store(std::vector<uint8_t>(59, 0)), SimTransferStatus::Stall);
  EXPECT_EQ(GetStatus().state, State::dfuERROR);
  EXPECT_EQ(Send(dfu::kVendorIn, dfu::kPrivCheckCompatibility, 0, 4)->Status(), SimTransferStatus::Stall);
}

TEST_F(SimDfuDeviceTest, FaultStallNoAnswerAndAnswerLengths) {
  SimDfuDeviceConfig config = Config();
  // The second and third DFU_GETSTATE stall; the DNLOAD of block 1 gets no answer.
  config.faults.push_back({SimDfuFaultAction::Stall, SimDfuRequestKind::GetState, std::nullopt, 1, 2});
  config.faults.push_back({SimDfuFaultAction::NoAnswer, SimDfuRequestKind::Dnload, uint16_t{1}});
  config.faults.push_back(
      {SimDfuFaultAction::AnswerLength, SimDfuRequestKind::GetStatus, std::nullopt, 0, 1, dfu::errUNKNOWN, 5});
  Start(config);
  EXPECT_EQ(Send(dfu::kClassIn, dfu::kGetState, 0, 1)->Status(), SimTransferStatus::Success);
  EXPECT_EQ(Send(dfu::kClassIn, dfu::kGetState, 0, 1)->Status(), SimTransferStatus::Stall);
  EXPECT_EQ(Send(dfu::kClassIn, dfu::kGetState, 0, 1)->Status(), SimTransferStatus::Stall);
  EXPECT_EQ(GetState(), State::dfuIDLE);  // a stall by fault leaves the state alone

  const auto shortStatus = Send(dfu::kClassIn, dfu::kGetStatus, 0, 6);
  EXPECT_EQ(shortStatus->Status(), SimTransferStatus::Success);
  EXPECT_EQ(shortStatus->TransferredLength(), 5u);
  EXPECT_EQ(GetStatus().state, State::dfuIDLE);

  Dnload(0, Pattern(4096, 0));
  GetStatus();
  const auto hanging = Dnload(1, Pattern(10, 0));
  EXPECT_FALSE(hanging->IsCompleted());
  EXPECT_EQ(GetState(), State::dfuDNLOAD_IDLE);

  // Longer answers than the record, up to what the host asked for; an OUT data stage acknowledged short.
  mDevice->AddFault(
      {SimDfuFaultAction::AnswerLength, SimDfuRequestKind::GetStatus, std::nullopt, 0, 2, dfu::errUNKNOWN, 9});
  EXPECT_EQ(Send(dfu::kClassIn, dfu::kGetStatus, 0, 64)->TransferredLength(), 9u);
  EXPECT_EQ(Send(dfu::kClassIn, dfu::kGetStatus, 0, 6)->TransferredLength(), 6u);
  mDevice->AddFault(
      {SimDfuFaultAction::AnswerLength, SimDfuRequestKind::Dnload, uint16_t{1}, 0, 1, dfu::errUNKNOWN, 100});
  const auto shortAck = Dnload(1, Pattern(4096, 1));
  EXPECT_EQ(shortAck->Status(), SimTransferStatus::Success);
  EXPECT_EQ(shortAck->TransferredLength(), 100u);
}

TEST_F(SimDfuDeviceTest, FaultLongAnswerBabblesAfterTheDeviceActed) {
  SimDfuDeviceConfig config = Config();
  config.faults.push_back({SimDfuFaultAction::LongAnswer, SimDfuRequestKind::Dnload, uint16_t{0}});
  config.faults.push_back({SimDfuFaultAction::LongAnswer, SimDfuRequestKind::GetStatus, uint16_t{0}});
  Start(config);
  const auto dnload = Dnload(0, Pattern(100, 3));
  EXPECT_EQ(dnload->Status(), SimTransferStatus::Babble);
  EXPECT_EQ(dnload->TransferredLength(), 0u);
  // The block was taken all the same: the status that babbles moves the download on.
  EXPECT_EQ(GetStatus().transfer, SimTransferStatus::Babble);
  EXPECT_EQ(GetStatus().state, State::dfuDNLOAD_IDLE);
}

TEST_F(SimDfuDeviceTest, FaultDelayAnswersOnlyWhenItsTimeHasCome) {
  SimDfuDeviceConfig config = Config();
  SimDfuFault delay{SimDfuFaultAction::Delay, SimDfuRequestKind::GetState};
  delay.delay = 50ms;
  config.faults.push_back(delay);
  Start(config);
  const auto held = Send(dfu::kClassIn, dfu::kGetState, 0, 1);
  EXPECT_FALSE(held->IsCompleted());
  EXPECT_EQ(mDevice->FaultsFired(), 1u);
  mBus.Clock().Advance(49ms);
  EXPECT_FALSE(held->IsCompleted());
  mBus.Clock().Advance(1ms);
  ASSERT_EQ(held->Status(), SimTransferStatus::Success);
  EXPECT_EQ(held->InData(), std::vector<uint8_t>{static_cast<uint8_t>(State::dfuIDLE)});
}

TEST_F(SimDfuDeviceTest, FaultsDuringManifestationBelongToTheClosingBlock) {
  SimDfuDeviceConfig config = Config();
  config.wTransferSize = 64;
  // The second status request after the closing block 2 (the manifestation poll) stalls.
  config.faults.push_back({SimDfuFaultAction::Stall, SimDfuRequestKind::GetStatus, uint16_t{2}, 1});
  Start(config);
  for (uint16_t block = 0; block < 2; ++block) {
    Dnload(block, Pattern(64, static_cast<uint8_t>(block)));
    EXPECT_EQ(GetStatus().state, State::dfuDNLOAD_IDLE);
  }
  EXPECT_EQ(mDevice->FaultsFired(), 0u) << "a status of data block 0 or 1 was taken for the closing block";
  EXPECT_EQ(Dnload(2, {})->Status(), SimTransferStatus::Success);
  EXPECT_EQ(GetStatus().state, State::dfuMANIFEST);
  EXPECT_EQ(GetStatus().transfer, SimTransferStatus::Stall);
  EXPECT_EQ(mDevice->FaultsFired(), 1u);
}

TEST_F(SimDfuDeviceTest, FaultOnTheTargetSelection) {
  SimDfuDeviceConfig config = Config();
  config.targets.resize(2);
  config.faults.push_back({SimDfuFaultAction::Stall, SimDfuRequestKind::SetInterface});
  config.faults.push_back({SimDfuFaultAction::DfuError, SimDfuRequestKind::SetInterface, std::nullopt, 0, 1,
                           dfu::errTARGET});
  Start(config);
  const SimDevicePtr device = mDevice->CurrentDevice();
  ASSERT_NE(device, nullptr);
  int answered = 0;
  auto setInterface = [&](uint16_t alternate) {
    return std::make_shared<SimControlRequest>(SimSetupPacket{0x01, 0x0B, alternate, 0, 0}, std::vector<uint8_t>{});
  };
  const auto stalled = setInterface(1);
  EXPECT_TRUE(mDevice->InterceptStandardRequest(*device, stalled, [&] { ++answered; }));
  EXPECT_EQ(stalled->Status(), SimTransferStatus::Stall);
  EXPECT_EQ(mDevice->State(), State::dfuIDLE);
  const auto refused = setInterface(1);
  EXPECT_TRUE(mDevice->InterceptStandardRequest(*device, refused, [&] { ++answered; }));
  EXPECT_EQ(refused->Status(), SimTransferStatus::Stall);
  EXPECT_EQ(mDevice->State(), State::dfuERROR);
  EXPECT_EQ(mDevice->Status(), dfu::errTARGET);
  // Without a fault the device answers SET_INTERFACE from its descriptors, and other
  // standard requests are never taken.
  EXPECT_FALSE(mDevice->InterceptStandardRequest(*device, setInterface(1), [&] { ++answered; }));
  EXPECT_FALSE(mDevice->InterceptStandardRequest(
      *device, std::make_shared<SimControlRequest>(SimSetupPacket{0x80, 0x06, 0x0100, 0, 18}, std::vector<uint8_t>{}),
      [&] { ++answered; }));
  EXPECT_EQ(answered, 0);
}

TEST_F(SimDfuDeviceTest, LeftInAStateByAnEarlierHost) {
  Start(Config());
  ASSERT_TRUE(mDevice->LeaveInState(State::dfuDNLOAD_IDLE));
  EXPECT_EQ(GetState(), State::dfuDNLOAD_IDLE);
  // The download it was left in goes on with block 1.
  Dnload(1, Pattern(10, 1));
  EXPECT_EQ(GetStatus().state, State::dfuDNLOAD_IDLE);
  ASSERT_TRUE(mDevice->LeaveInState(State::dfuERROR, dfu::errFIRMWARE));
  const StatusRecord s = GetStatus();
  EXPECT_EQ(s.state, State::dfuERROR);
  EXPECT_EQ(s.bStatus, dfu::errFIRMWARE);
  EXPECT_FALSE(mDevice->LeaveInState(State::dfuMANIFEST));
  mDevice->Unplug();
  EXPECT_FALSE(mDevice->LeaveInState(State::dfuERROR, dfu::errFIRMWARE));
}

TEST_F(SimDfuDeviceTest, FaultDfuErrorAtABlock) {
  SimDfuDeviceConfig config = Config();
  config.wTransferSize = 64;
  config.faults.push_back({SimDfuFaultAction::DfuError, std::nullopt, uint16_t{12}, 0, 1, dfu::errVERIFY});
  Start(config);
  for (uint16_t block = 0; block < 12; ++block) {
    Dnload(block, Pattern(64, 0));
    ASSERT_EQ(GetStatus().state, State::dfuDNLOAD_IDLE);
  }
  EXPECT_EQ(Dnload(12, Pattern(64, 0))->Status(), SimTransferStatus::Success);
  const StatusRecord s = GetStatus();
  EXPECT_EQ(s.state, State::dfuERROR);
  EXPECT_EQ(s.bStatus, dfu::errVERIFY);
  Out(dfu::kClrStatus);
  // Fired once: the next download goes through.
  Download(Pattern(64 * 14, 1));
  Manifest();
  EXPECT_EQ(mDevice->Firmware(0), Pattern(64 * 14, 1));
}

TEST_F(SimDfuDeviceTest, FaultStuckInDnBusyOrDnloadSync) {
  SimDfuDeviceConfig config = Config();
  config.pollTimeoutMs = 1;
  config.flashWritePerBlock = 1ms;
  config.faults.push_back({SimDfuFaultAction::StuckDnBusy, SimDfuRequestKind::Dnload, uint16_t{1}});
  config.faults.push_back({SimDfuFaultAction::StuckDnloadSync, SimDfuRequestKind::Dnload, uint16_t{0}, 1});
  Start(config);
  Dnload(0, Pattern(16, 0));
  EXPECT_EQ(GetStatus().state, State::dfuDNBUSY);
  mBus.Clock().Advance(1ms);
  EXPECT_EQ(GetStatus().state, State::dfuDNLOAD_IDLE);
  Dnload(1, Pattern(16, 0));
  for (int i = 0; i < 60; ++i) {
    ASSERT_EQ(GetStatus().state, State::dfuDNBUSY);
    mBus.Clock().Advance(1ms);
  }
  EXPECT_EQ(Out(dfu::kAbort)->Status(), SimTransferStatus::Stall);
  Out(dfu::kClrStatus);
  // The second download's block 0 never leaves dfuDNLOAD_SYNC.
  Dnload(0, Pattern(16, 0));
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(GetStatus().state, State::dfuDNLOAD_SYNC);
    mBus.Clock().Advance(1ms);
  }
  EXPECT_FALSE(mDevice->Firmware(0).has_value());
}

TEST_F(SimDfuDeviceTest, FaultNeverLeavingTheBus) {
  SimDfuDeviceConfig config = Config(SimRunMode::Application);
  config.faults.push_back({SimDfuFaultAction::StayOnBus, SimDfuRequestKind::Detach});
  Start(config);
  EXPECT_EQ(Out(dfu::kDetach, 1000)->Status(), SimTransferStatus::Success);
  mBus.Clock().Advance(10s);
  EXPECT_TRUE(mDevice->IsOnBus());
  EXPECT_EQ(mBus.events.size(), 1u);
  EXPECT_EQ(GetState(), State::appDETACH);
  EXPECT_EQ(mDevice->RunMode(), SimRunMode::Application);
}

TEST_F(SimDfuDeviceTest, FaultUnplugMidTransfer) {
  SimDfuDeviceConfig config = Config();
  config.targets[0].firmware = Pattern(4, 4);
  config.faults.push_back({SimDfuFaultAction::Unplug, SimDfuRequestKind::Dnload, uint16_t{2}});
  Start(config);
  Dnload(0, Pattern(4096, 0));
  GetStatus();
  Dnload(1, Pattern(4096, 0));
  GetStatus();
  const auto cut = Dnload(2, Pattern(4096, 0));
  EXPECT_EQ(cut->Status(), SimTransferStatus::DeviceGone);
  EXPECT_FALSE(mDevice->IsOnBus());
  ASSERT_EQ(mBus.events.size(), 2u);
  EXPECT_FALSE(mBus.events[1].arrival);
  mBus.Clock().Advance(10s);
  EXPECT_FALSE(mDevice->IsOnBus());  // pulled, not re-enumerating
  EXPECT_EQ(mDevice->Firmware(0), Pattern(4, 4));
  // Plugged in again it starts afresh in the bootloader, firmware intact.
  ASSERT_TRUE(mDevice->Plug());
  EXPECT_EQ(GetState(), State::dfuIDLE);
  EXPECT_EQ(mDevice->Firmware(0), Pattern(4, 4));
}

// A scheduler with its own thread and wall-clock time, as the bus has one.
class ThreadScheduler : public SimScheduler {
 public:
  ThreadScheduler() : mThread([this] { Run(); }) {}
  ~ThreadScheduler() override {
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mStop = true;
    }
    mWake.notify_all();
    mThread.join();
  }
  TaskId ScheduleAfter(std::chrono::microseconds delay, std::function<void()> work) override {
    std::lock_guard<std::mutex> lock(mMutex);
    const TaskId id = mNextId++;
    mTasks.emplace(std::make_pair(std::chrono::steady_clock::now() + delay, id), std::move(work));
    mWake.notify_all();
    return id;
  }
  bool Cancel(TaskId id) override {
    std::lock_guard<std::mutex> lock(mMutex);
    return std::erase_if(mTasks, [id](const auto& task) { return task.first.second == id; }) != 0;
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mMutex);
    while (!mStop) {
      if (mTasks.empty()) {
        mWake.wait(lock);
        continue;
      }
      const auto due = mTasks.begin()->first.first;
      if (std::chrono::steady_clock::now() < due) {
        mWake.wait_until(lock, due);
        continue;
      }
      auto node = mTasks.extract(mTasks.begin());
      lock.unlock();
      node.mapped()();
      lock.lock();
    }
  }

  std::mutex mMutex;
  std::condition_variable mWake;
  bool mStop = false;
  TaskId mNextId = 1;
  std::map<std::pair<std::chrono::steady_clock::time_point, TaskId>, std::function<void()>> mTasks;
  std::thread mThread;
};

class ThreadedBus : public SimBusAccess {
 public:
  SimScheduler& Scheduler() override { return mScheduler; }
  SimDevicePtr Attach(const SimDeviceSpec& spec, std::shared_ptr<SimDeviceModel> model) override {
    SimDevicePtr device;
    {
      std::lock_guard<std::mutex> lock(mMutex);
      device = std::make_shared<SimDevice>(mNextId++, spec);
      mAttached[device->Id()] = {device, model};
    }
    model->OnAttached(*device);
    return device;
  }
  bool Detach(uint64_t deviceId) override {
    std::pair<SimDevicePtr, std::shared_ptr<SimDeviceModel>> entry;
    {
      std::lock_guard<std::mutex> lock(mMutex);
      const auto it = mAttached.find(deviceId);
      if (it == mAttached.end()) {
        return false;
      }
      entry = it->second;
      mAttached.erase(it);
    }
    entry.first->MarkDetached();
    entry.second->OnDetached(*entry.first);
    return true;
  }

 private:
  std::mutex mMutex;
  uint64_t mNextId = 1;
  std::map<uint64_t, std::pair<SimDevicePtr, std::shared_ptr<SimDeviceModel>>> mAttached;
  ThreadScheduler mScheduler;  // last: its thread ends before the devices go
};

// A whole upgrade on real threads: the host on this thread, the device's time on the
// scheduler's, an observer on a third.
TEST(SimDfuDeviceThreadedTest, UpgradeAcrossReEnumerations) {
  ThreadedBus bus;
  SimDfuDeviceConfig config;
  config.startMode = SimRunMode::Application;
  config.bmAttributes = dfu::kCanDnload | dfu::kWillDetach;  // resets itself after manifestation
  config.wTransferSize = 256;
  config.detachDelay = 1ms;
  config.rejoinDelay = 1ms;
  config.pollTimeoutMs = 1;
  config.flashWritePerBlock = 300us;
  config.manifestationTime = 2ms;
  const SimDfuDevicePtr model = SimDfuDevice::Create(bus, config);
  ASSERT_TRUE(model->Plug());

  std::atomic<bool> done{false};
  std::thread observer([&] {
    while (!done) {
      (void)model->State();
      (void)model->Firmware(0);
      (void)model->CurrentDevice();
      std::this_thread::sleep_for(100us);
    }
  });
  // Ends the observer however the test ends.
  const std::unique_ptr<std::thread, void (*)(std::thread*)> joinObserver(&observer, [](std::thread* t) { t->join(); });
  const struct StopObserver {
    std::atomic<bool>& flag;
    ~StopObserver() { flag = true; }
  } stopObserver{done};
  const auto waitFor = [&](SimRunMode mode) {
    for (int i = 0; i < 5000; ++i) {
      if (model->RunMode() == mode && model->CurrentDevice()) {
        return model->CurrentDevice();
      }
      std::this_thread::sleep_for(1ms);
    }
    return SimDevicePtr();
  };
  const auto request = [](const SimDevicePtr& device, SimSetupPacket setup, std::vector<uint8_t> out = {}) {
    return device->Submit(setup, out);
  };

  SimDevicePtr app = waitFor(SimRunMode::Application);
  ASSERT_NE(app, nullptr);
  app->SetRequestHandler([&](const SimControlRequestPtr& r) { model->HandleRequest(*app, r); });
  EXPECT_EQ(request(app, {dfu::kClassOut, dfu::kDetach, 1000, 0, 0})->Status(), SimTransferStatus::Success);
  SimDevicePtr boot = waitFor(SimRunMode::Bootloader);
  ASSERT_NE(boot, nullptr);
  SimDevice* bootRaw = boot.get();
  boot->SetRequestHandler([&model, bootRaw](const SimControlRequestPtr& r) { model->HandleRequest(*bootRaw, r); });

  const std::vector<uint8_t> image = Pattern(256 * 20 + 17, 8);
  const uint16_t blocks = static_cast<uint16_t>((image.size() + 255) / 256);
  for (uint16_t block = 0; block <= blocks; ++block) {
    const size_t offset = block * size_t{256};
    const size_t n = block == blocks ? 0 : std::min<size_t>(256, image.size() - offset);
    const std::vector<uint8_t> data(image.begin() + offset, image.begin() + offset + n);
    ASSERT_EQ(request(boot, {dfu::kClassOut, dfu::kDnload, block, 0, static_cast<uint16_t>(n)}, data)->Status(),
              SimTransferStatus::Success);
    const State until = n == 0 ? State::dfuMANIFEST : State::dfuDNLOAD_IDLE;
    State state = State::dfuERROR;
    for (int polls = 0; polls < 1000 && state != until; ++polls) {
      const auto r = request(boot, {dfu::kClassIn, dfu::kGetStatus, 0, 0, 6});
      ASSERT_TRUE(r->WaitFor(1s));
      const auto record = r->InData();
      ASSERT_EQ(record.size(), 6u);
      state = static_cast<State>(record[4]);
      ASSERT_NE(state, State::dfuERROR);
      std::this_thread::sleep_for(std::chrono::milliseconds(record[1]));
    }
    ASSERT_EQ(state, until);
  }
  app = waitFor(SimRunMode::Application);
  EXPECT_NE(app, nullptr);
  EXPECT_EQ(model->Firmware(0), image);
}

}  // namespace
}  // namespace plendrik::sim
