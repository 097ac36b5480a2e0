// The strict variants of the simulated DFU device, one table of cases per behaviour, and the USB
// reset that takes a device off the bus and lets it enumerate again.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimDeviceFile.h"
#include "sim/SimDfuDevice.h"
#include "sim/SimDfuDeviceFixture.h"
#include "sim/SimWinusbDrvApi.h"

namespace plendrik::sim {
namespace {

using namespace std::chrono_literals;
using namespace testing_support;
using dfu::State;

class SimDfuVariantsTest : public SimDfuDeviceTest {
 protected:
  static SimDfuDeviceConfig WithVariants(SimDfuVariants variants, SimRunMode mode = SimRunMode::Bootloader) {
    SimDfuDeviceConfig config = Config(mode);
    config.variants = variants;
    return config;
  }
  static constexpr uint8_t kNotTolerant = dfu::kCanDnload | dfu::kWillDetach;

  SimControlRequestPtr Submit(const SimSetupPacket& setup) { return mDevice->CurrentDevice()->Submit(setup, {}); }
  SimControlRequestPtr SetInterface(uint16_t alternate) { return Submit({0x01, 0x0B, alternate, 0, 0}); }
};

TEST_F(SimDfuVariantsTest, StatusBeforeTheAnnouncedTimeIsStalledWhileBusy) {
  const struct {
    const char* name;
    bool strict;
    bool manifestation;
  } cases[] = {
      {"download, strict", true, false},
      {"manifestation, strict", true, true},
      {"download, lenient", false, false},
      {"manifestation, lenient", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimDfuVariants variants;
    variants.stallEarlyStatus = c.strict;
    SimDfuDeviceConfig config = WithVariants(variants);
    config.pollTimeoutMs = 10;
    config.flashWritePerBlock = c.manifestation ? 0ms : 30ms;
    config.manifestationTime = 30ms;
    Start(config);
    Dnload(0, Pattern(64, 1));
    if (c.manifestation) {
      ASSERT_EQ(GetStatus().state, State::dfuDNLOAD_IDLE);
      Dnload(1, {});
    }
    const State busy = c.manifestation ? State::dfuMANIFEST : State::dfuDNBUSY;
    StatusRecord s = GetStatus();
    ASSERT_EQ(s.state, busy);
    EXPECT_EQ(s.pollTimeout, 10u);

    mBus.Clock().Advance(9ms);
    s = GetStatus();
    EXPECT_EQ(s.transfer, c.strict ? SimTransferStatus::Stall : SimTransferStatus::Success);
    EXPECT_EQ(mDevice->State(), busy) << "a refused status request changed the state";
    if (!c.strict) {
      mBus.Clock().Advance(1ms);  // the next window starts from this answer
    }
    mBus.Clock().Advance(1ms);
    s = GetStatus();
    EXPECT_EQ(s.transfer, SimTransferStatus::Success);
    EXPECT_EQ(s.state, busy);
    // Polled on time, the device ends its work as usual.
    mBus.Clock().Advance(20ms);
    s = GetStatus();
    EXPECT_EQ(s.transfer, SimTransferStatus::Success);
    EXPECT_EQ(s.state, c.manifestation ? State::dfuIDLE : State::dfuDNLOAD_IDLE);
    EXPECT_EQ(GetStatus().transfer, SimTransferStatus::Success) << "an idle device refused a status request";
  }
}

TEST_F(SimDfuVariantsTest, DetachInTheBootloader) {
  enum class WayBack { None, BusReset, XmosRequest };
  const struct {
    const char* name;
    bool strict;
    WayBack wayBack;
  } cases[] = {
      {"lenient: the detach leads back to the application", false, WayBack::None},
      {"strict: stalled, back by a bus reset", true, WayBack::BusReset},
      {"strict: stalled, back by the XMOS request", true, WayBack::XmosRequest},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimDfuVariants variants;
    variants.stallDetachInBootloader = c.strict;
    Start(WithVariants(variants));
    const auto detach = Out(dfu::kDetach, 1000);
    if (c.strict) {
      EXPECT_EQ(detach->Status(), SimTransferStatus::Stall);
      const StatusRecord s = GetStatus();
      EXPECT_EQ(s.state, State::dfuERROR);
      EXPECT_EQ(s.bStatus, dfu::errSTALLEDPKT);
      mBus.Clock().Advance(5s);
      EXPECT_EQ(mDevice->RunMode(), SimRunMode::Bootloader);
      EXPECT_TRUE(mDevice->IsOnBus());
    } else {
      EXPECT_EQ(detach->Status(), SimTransferStatus::Success);
    }
    if (c.wayBack == WayBack::BusReset) {
      EXPECT_TRUE(mDevice->Reset());
    } else if (c.wayBack == WayBack::XmosRequest) {
      EXPECT_EQ(Out(dfu::kXmosToApplication)->Status(), SimTransferStatus::Success);
    }
    mBus.Clock().Advance(0us);
    EXPECT_EQ(mDevice->RunMode(), SimRunMode::Application);
    ASSERT_TRUE(mDevice->IsOnBus());
    EXPECT_EQ(GetState(), State::appIDLE);
  }
}

TEST_F(SimDfuVariantsTest, EndOfManifestationOfADeviceThatIsNotTolerant) {
  const struct {
    const char* name;
    SimManifestationEnd end;
    std::chrono::milliseconds manifestation;
  } cases[] = {
      {"resets itself, quick", SimManifestationEnd::ResetSelf, 0ms},
      {"resets itself, slow", SimManifestationEnd::ResetSelf, 20ms},
      {"waits for a reset, quick", SimManifestationEnd::WaitForReset, 0ms},
      {"waits for a reset, slow", SimManifestationEnd::WaitForReset, 20ms},
      {"leaves while answering, quick", SimManifestationEnd::LeaveDuringStatus, 0ms},
      {"leaves while answering, slow", SimManifestationEnd::LeaveDuringStatus, 20ms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimDfuVariants variants;
    variants.manifestationEnd = c.end;
    SimDfuDeviceConfig config = WithVariants(variants);
    config.bmAttributes = kNotTolerant;
    config.pollTimeoutMs = 5;
    config.manifestationTime = c.manifestation;
    Start(config);
    const std::vector<uint8_t> image = Pattern(5000, 2);
    Download(image);

    const auto status = Submit({dfu::kClassIn, dfu::kGetStatus, 0, 0, 6});
    if (c.end == SimManifestationEnd::LeaveDuringStatus) {
      EXPECT_FALSE(status->IsCompleted()) << "a device busy manifesting answered";
      if (c.manifestation.count() > 0) {
        mBus.Clock().Advance(c.manifestation - 1us);
        EXPECT_FALSE(status->IsCompleted());
        mBus.Clock().Advance(1us);
      } else {
        mBus.Clock().Advance(0us);
      }
      EXPECT_EQ(status->Status(), SimTransferStatus::DeviceGone);
    } else {
      ASSERT_EQ(status->Status(), SimTransferStatus::Success);
      EXPECT_EQ(static_cast<State>(status->InData().at(4)), State::dfuMANIFEST);
      mBus.Clock().Advance(c.manifestation);
    }
    if (c.end == SimManifestationEnd::WaitForReset) {
      mBus.Clock().Advance(10s);
      ASSERT_EQ(mDevice->RunMode(), SimRunMode::Bootloader) << "left the bus without a reset";
      const StatusRecord s = GetStatus();
      EXPECT_EQ(s.transfer, SimTransferStatus::Success);
      EXPECT_EQ(s.state, State::dfuMANIFEST_WAIT_RESET);
      EXPECT_EQ(GetState(), State::dfuMANIFEST_WAIT_RESET);
      EXPECT_EQ(Out(dfu::kAbort)->Status(), SimTransferStatus::Stall);
      EXPECT_EQ(Out(dfu::kClrStatus)->Status(), SimTransferStatus::Stall);
      EXPECT_EQ(mDevice->State(), State::dfuMANIFEST_WAIT_RESET);
      EXPECT_TRUE(mDevice->Reset());
    }
    mBus.Clock().Advance(0us);
    EXPECT_EQ(mDevice->RunMode(), SimRunMode::Application);
    EXPECT_TRUE(mDevice->IsOnBus());
    EXPECT_EQ(mDevice->Firmware(0), image);
    EXPECT_EQ(mDevice->ManifestationCount(), 1u);
  }
}

TEST_F(SimDfuVariantsTest, SetInterfaceWithASingleAlternateSetting) {
  const struct {
    const char* name;
    SimRunMode mode;
    size_t targets;
    bool strict;
    SimTransferStatus expected;
  } cases[] = {
      {"application, strict", SimRunMode::Application, 1, true, SimTransferStatus::Stall},
      {"bootloader with one target, strict", SimRunMode::Bootloader, 1, true, SimTransferStatus::Stall},
      {"bootloader with two targets, strict", SimRunMode::Bootloader, 2, true, SimTransferStatus::Success},
      {"application, lenient", SimRunMode::Application, 1, false, SimTransferStatus::Success},
      {"bootloader with one target, lenient", SimRunMode::Bootloader, 1, false, SimTransferStatus::Success},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimDfuVariants variants;
    variants.stallSingleAlternateSetting = c.strict;
    SimDfuDeviceConfig config = WithVariants(variants, c.mode);
    config.targets.resize(c.targets);
    Start(config);
    EXPECT_EQ(SetInterface(0)->Status(), c.expected);
    // A refused standard request is no DFU request: the state stays.
    EXPECT_EQ(GetState(), c.mode == SimRunMode::Application ? State::appIDLE : State::dfuIDLE);
  }
}

TEST_F(SimDfuVariantsTest, DnloadSyncAnswersAfterABusyWait) {
  const struct {
    uint32_t syncAnswers;
    std::chrono::milliseconds write;
    int expected;  // dfuDNLOAD_SYNC answers before dfuDNLOAD_IDLE
  } cases[] = {{0, 10ms, 0}, {1, 10ms, 1}, {3, 10ms, 3}, {2, 0ms, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.syncAnswers << " answers, write " << c.write.count() << " ms");
    SimDfuVariants variants;
    variants.syncAnswersAfterBusy = c.syncAnswers;
    SimDfuDeviceConfig config = WithVariants(variants);
    config.pollTimeoutMs = 10;
    config.flashWritePerBlock = c.write;
    Start(config);
    Dnload(0, Pattern(64, 0));
    StatusRecord s = GetStatus();
    if (c.write.count() > 0) {
      ASSERT_EQ(s.state, State::dfuDNBUSY);
      mBus.Clock().Advance(c.write);
      s = GetStatus();
    }
    int syncAnswers = 0;
    for (; s.state == State::dfuDNLOAD_SYNC && syncAnswers < 10; ++syncAnswers) {
      s = GetStatus();
    }
    EXPECT_EQ(s.state, State::dfuDNLOAD_IDLE);
    EXPECT_EQ(syncAnswers, c.expected);
    // The block was written: the download goes on with the next one.
    EXPECT_EQ(Dnload(1, Pattern(64, 1))->Status(), SimTransferStatus::Success);
  }
}

TEST_F(SimDfuVariantsTest, WorkThatRunsPastItsAnnouncedTime) {
  struct Poll {
    std::chrono::milliseconds after;  // since the previous answer
    State state;
    uint32_t pollTimeout;
  };
  const struct {
    const char* name;
    bool manifestation;
    std::chrono::milliseconds overrun;
    std::optional<uint32_t> repoll;
    std::vector<Poll> polls;  // after the first answer, which announces 10 ms
  } cases[] = {
      {"write on time", false, 0ms, std::nullopt, {{10ms, State::dfuDNLOAD_IDLE, 10}}},
      {"write late, polled again at once",
       false,
       5ms,
       0,
       {{10ms, State::dfuDNBUSY, 0}, {4ms, State::dfuDNBUSY, 0}, {1ms, State::dfuDNLOAD_IDLE, 10}}},
      {"write late, a short poll time", false, 5ms, 2, {{10ms, State::dfuDNBUSY, 2}, {5ms, State::dfuDNLOAD_IDLE, 10}}},
      {"write late, the usual poll time",
       false,
       5ms,
       std::nullopt,
       {{10ms, State::dfuDNBUSY, 10}, {10ms, State::dfuDNLOAD_IDLE, 10}}},
      {"manifestation late", true, 5ms, 0, {{10ms, State::dfuMANIFEST, 0}, {5ms, State::dfuIDLE, 10}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimDfuVariants variants;
    variants.busyOverrun = c.overrun;
    variants.busyRepollMs = c.repoll;
    SimDfuDeviceConfig config = WithVariants(variants);
    config.pollTimeoutMs = 10;
    config.flashWritePerBlock = c.manifestation ? 0ms : 10ms;
    Start(config);
    if (c.manifestation) {
      Download(Pattern(64, 0));  // the closing block included
    } else {
      Dnload(0, Pattern(64, 0));
    }
    const StatusRecord first = GetStatus();
    EXPECT_EQ(first.state, c.manifestation ? State::dfuMANIFEST : State::dfuDNBUSY);
    EXPECT_EQ(first.pollTimeout, 10u);
    for (size_t i = 0; i < c.polls.size(); ++i) {
      SCOPED_TRACE(::testing::Message() << "poll " << i + 1);
      mBus.Clock().Advance(c.polls[i].after);
      StatusRecord s = GetStatus();
      while (s.state == State::dfuDNLOAD_SYNC) {
        s = GetStatus();  // the finished write, reported once more
      }
      EXPECT_EQ(s.state, c.polls[i].state);
      EXPECT_EQ(s.pollTimeout, c.polls[i].pollTimeout);
    }
  }
}

TEST_F(SimDfuVariantsTest, BusResetTakesTheDeviceWhereItsStateLeads) {
  const struct {
    const char* name;
    SimRunMode start;
    std::function<void()> prepare;
    SimRunMode mode;
    State state;
    uint8_t bStatus;
  } cases[] = {
      {"application", SimRunMode::Application, [] {}, SimRunMode::Application, State::appIDLE, dfu::kOK},
      // A device that does not detach by itself (bitWillDetach clear) waits for the host's reset.
      {"application told to detach", SimRunMode::Application,
       [this] {
         mDevice->AddFault({SimDfuFaultAction::StayOnBus, SimDfuRequestKind::Detach});
         Out(dfu::kDetach, 1000);
       },
       SimRunMode::Bootloader, State::dfuIDLE, dfu::kOK},
      {"bootloader, idle", SimRunMode::Bootloader, [] {}, SimRunMode::Application, State::appIDLE, dfu::kOK},
      {"bootloader in dfuERROR", SimRunMode::Bootloader,
       [this] { mDevice->LeaveInState(State::dfuERROR, dfu::errVERIFY); }, SimRunMode::Application, State::appIDLE,
       dfu::kOK},
      {"bootloader with a download cut short", SimRunMode::Bootloader,
       [this] { mDevice->LeaveInState(State::dfuDNLOAD_IDLE); }, SimRunMode::Bootloader, State::dfuERROR,
       dfu::errFIRMWARE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimDfuDeviceConfig config = Config(c.start);
    config.rejoinDelay = 50ms;
    config.targets[0].firmware = Pattern(16, 5);
    Start(config);
    c.prepare();
    const SimDevicePtr before = mDevice->CurrentDevice();
    const size_t events = mBus.events.size();
    ASSERT_TRUE(mDevice->Reset());
    EXPECT_FALSE(before->IsAttached()) << "the reset did not take the device off the bus at once";
    EXPECT_FALSE(mDevice->IsOnBus());
    EXPECT_FALSE(mDevice->Reset()) << "a device off the bus was reset";
    mBus.Clock().Advance(49ms);
    EXPECT_FALSE(mDevice->IsOnBus());
    mBus.Clock().Advance(1ms);
    ASSERT_TRUE(mDevice->IsOnBus());
    EXPECT_EQ(mBus.events.size(), events + 2);
    EXPECT_EQ(mDevice->RunMode(), c.mode);
    const StatusRecord s = GetStatus();
    EXPECT_EQ(s.state, c.state);
    EXPECT_EQ(s.bStatus, c.bStatus);
    EXPECT_EQ(mDevice->Firmware(0), Pattern(16, 5)) << "a reset changed the firmware";
  }
}

// A host that keeps every rule the strict device holds it to takes a whole upgrade through.
TEST_F(SimDfuVariantsTest, StrictDeviceUpgradesWithACarefulHost) {
  SimDfuDeviceConfig config = WithVariants(SimDfuVariants::Strict());
  config.bmAttributes = kNotTolerant;
  config.wTransferSize = 256;
  config.pollTimeoutMs = 3;
  config.flashWritePerBlock = 2ms;
  config.manifestationTime = 4ms;
  Start(config);
  EXPECT_EQ(SetInterface(0)->Status(), SimTransferStatus::Stall);
  EXPECT_EQ(GetState(), State::dfuIDLE);

  const std::vector<uint8_t> image = Pattern(256 * 6 + 40, 9);
  const auto waitAndPoll = [this](const StatusRecord& last) {
    // Waits what the device announced, a millisecond at least.
    mBus.Clock().Advance(std::max<std::chrono::microseconds>(std::chrono::milliseconds(last.pollTimeout), 1ms));
    const StatusRecord s = GetStatus();
    EXPECT_EQ(s.transfer, SimTransferStatus::Success);
    return s;
  };
  for (uint16_t block = 0; block * 256u < image.size(); ++block) {
    const size_t n = std::min<size_t>(256, image.size() - block * 256u);
    ASSERT_EQ(
        Dnload(block, std::vector<uint8_t>(image.begin() + block * 256, image.begin() + block * 256 + n))->Status(),
        SimTransferStatus::Success);
    StatusRecord s = GetStatus();
    for (int polls = 0; s.state != State::dfuDNLOAD_IDLE && polls < 50; ++polls) {
      ASSERT_TRUE(s.state == State::dfuDNBUSY || s.state == State::dfuDNLOAD_SYNC) << static_cast<int>(s.state);
      s = s.state == State::dfuDNBUSY ? waitAndPoll(s) : GetStatus();
    }
    ASSERT_EQ(s.state, State::dfuDNLOAD_IDLE);
  }
  ASSERT_EQ(Dnload(7, {})->Status(), SimTransferStatus::Success);
  StatusRecord s = GetStatus();
  for (int polls = 0; s.state == State::dfuMANIFEST && polls < 50; ++polls) {
    s = waitAndPoll(s);
  }
  ASSERT_EQ(s.state, State::dfuMANIFEST_WAIT_RESET);
  EXPECT_EQ(Out(dfu::kDetach, 1000)->Status(), SimTransferStatus::Stall);
  ASSERT_TRUE(mDevice->Reset());
  mBus.Clock().Advance(0us);
  EXPECT_EQ(mDevice->RunMode(), SimRunMode::Application);
  EXPECT_EQ(mDevice->Firmware(0), image);
}

// The reset through the transport seam, on the process's bus, for a device with and without a
// model of its own.
TEST(SimWinusbResetTest, ResetTakesTheDeviceOffTheBusAndLetsItEnumerateAgain) {
  SimWinusbDrvApi& api = SimWinusbDrvApi::Instance();
  VirtualUsbBus& bus = VirtualUsbBus::Instance();
  for (const bool dfuModel : {false, true}) {
    SCOPED_TRACE(dfuModel ? "DFU device" : "device without a model");
    SimDfuDevicePtr model;
    SimDevicePtr device;
    if (dfuModel) {
      SimDfuDeviceConfig config;
      config.startMode = SimRunMode::Bootloader;
      config.serialNumber = QXW("RESET01");
      model = SimDfuDevice::Create(bus, config);
      ASSERT_TRUE(model->Plug());
      device = model->CurrentDevice();
    } else {
      SimDeviceSpec spec;
      spec.vendorId = 0x1209;
      spec.productId = 0x7E57;
      spec.iSerialNumber = 1;
      spec.strings[1] = QXW("RESET02");
      device = bus.Attach(spec);
    }
    ASSERT_NE(device, nullptr);
    const std::vector<SimDeviceListEntry> entries = bus.ListDevices(device->Spec().identity.interfaceClassGuid);
    const auto entry = std::find_if(entries.begin(), entries.end(),
                                    [&](const SimDeviceListEntry& e) { return e.deviceId == device->Id(); });
    ASSERT_NE(entry, entries.end());
    QXOsHandle file = QXOsInvalidHandle();
    QXOsHandle winUsb = QXOsInvalidHandle();
    ASSERT_EQ(api.CreateDeviceFile(entry->interfacePath, 0, 0, nullptr, file), 0u);
    ASSERT_EQ(api.WinUsbInitialize(file, winUsb), 0u);

    EXPECT_EQ(api.ResetUsbDevice(winUsb), 0u);
    EXPECT_FALSE(device->IsAttached());
    EXPECT_EQ(api.ResetUsbDevice(winUsb), kQXErrorDeviceNotConnected) << "a stale handle reset the device";
    uint8_t speed = 0;
    uint32_t length = 1;
    EXPECT_EQ(api.WinUsbQueryDeviceInformation(winUsb, 1, length, &speed), kQXErrorDeviceNotConnected);
    // It enumerates again under the same interface path, as the same physical device.
    std::optional<SimDeviceListEntry> again;
    for (int i = 0; i < 500 && !again; ++i) {
      again = bus.FindByInterfacePath(entry->interfacePath);
      if (!again) std::this_thread::sleep_for(2ms);
    }
    if (dfuModel) {
      // The idle bootloader starts its application, which has another interface path.
      for (int i = 0; i < 500 && !(model->IsOnBus() && model->RunMode() == SimRunMode::Application); ++i) {
        std::this_thread::sleep_for(2ms);
      }
      EXPECT_EQ(model->RunMode(), SimRunMode::Application);
      EXPECT_TRUE(model->IsOnBus());
    } else {
      ASSERT_TRUE(again.has_value());
      EXPECT_NE(again->deviceId, device->Id());
    }
    EXPECT_EQ(api.WinUsbFree(winUsb), 0u);
    api.CloseOsHandle(file);
    if (model) {
      model->Unplug();
    } else if (again) {
      bus.Detach(again->deviceId);
    }
  }
  EXPECT_EQ(api.ResetUsbDevice(QXOsInvalidHandle()), kQXErrorInvalidHandle);
}

TEST(SimDeviceFileTest, VariantKeysMakeADeviceStrict) {
  const auto variants = [](const std::string& keys) {
    const SimDeviceFileResult result = ParseSimDeviceFile("[Device]\nModel = dfu\n" + keys, SimGuid{});
    EXPECT_TRUE(result.ok) << result.error;
    return result.ok ? result.dfuDevices.at(0)->config.variants : SimDfuVariants{};
  };
  SimDfuVariants waitingOnly;
  waitingOnly.manifestationEnd = SimManifestationEnd::WaitForReset;
  SimDfuVariants strictButSelfReset = SimDfuVariants::Strict();
  strictButSelfReset.manifestationEnd = SimManifestationEnd::ResetSelf;
  strictButSelfReset.syncAnswersAfterBusy = 3;
  SimDfuVariants each;
  each.stallEarlyStatus = true;
  each.stallDetachInBootloader = true;
  each.stallSingleAlternateSetting = true;
  each.manifestationEnd = SimManifestationEnd::LeaveDuringStatus;
  each.busyOverrun = 7ms;
  each.busyRepollMs = 1;
  const struct {
    const char* keys;
    SimDfuVariants expected;
  } cases[] = {
      {"", SimDfuVariants{}},
      {"Strict = no\n", SimDfuVariants{}},
      {"Strict = yes\n", SimDfuVariants::Strict()},
      {"ManifestationEnd = wait-for-reset\n", waitingOnly},
      // A key overrides what Strict chose, before or after it.
      {"ManifestationEnd = Reset-Self\nStrict = yes\nSyncAnswersAfterBusy = 3\n", strictButSelfReset},
      {"StallEarlyStatus = yes\nStallDetachInBootloader = 1\nStallSingleAlternateSetting = true\n"
       "ManifestationEnd = leave-during-status\nBusyOverrunMs = 7\nBusyPollTimeoutMs = 1\n",
       each},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    EXPECT_TRUE(variants(c.keys) == c.expected);
  }

  const auto error = [](const std::string& text) { return ParseSimDeviceFile(text, SimGuid{}).error; };
  EXPECT_EQ(error("[Device]\nStrict = maybe\n"), "line 2: invalid value 'maybe' for 'strict': 'yes' or 'no'");
  EXPECT_EQ(error("[Device]\nManifestationEnd = never\n"),
            "line 2: invalid value 'never' for 'manifestationend': 'reset-self', 'wait-for-reset' or "
            "'leave-during-status'");
  EXPECT_EQ(error("[Device]\nBusyOverrunMs = 60001\n"),
            "line 2: invalid value '60001' for 'busyoverrunms': a number from 0 to 60000");
  EXPECT_EQ(error("[Device]\nSyncAnswersAfterBusy = 256\n"),
            "line 2: invalid value '256' for 'syncanswersafterbusy': a number from 0 to 255");
  EXPECT_EQ(error("[Device]\nStrict = yes\nstrict = no\n"),
            "line 3: key 'strict' given twice in one device (first on line 2)");
  // A variant key makes a DFU device, so a plain one refuses it.
  EXPECT_EQ(error("[Device]\nModel = plain\nStrict = yes\n"),
            "line 3: 'strict' needs a DFU device, not 'Model = plain'");
  // Any variant key alone makes the device a DFU device.
  const SimDeviceFileResult strictOnly = ParseSimDeviceFile("[Device]\nStrict = yes\n", SimGuid{});
  ASSERT_TRUE(strictOnly.ok) << strictOnly.error;
  EXPECT_TRUE(strictOnly.dfuDevices.at(0).has_value());
}

}  // namespace
}  // namespace plendrik::sim
