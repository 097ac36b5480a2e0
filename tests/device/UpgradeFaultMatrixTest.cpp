// The fault matrix of an upgrade: every step of an upgrade through the exported functions,
// against a simulated DFU device, meets every fault a device or a caller can cause there (a
// stall, no answer, a short or long answer, dfuERROR, a made-up state, an unplug, a stop by
// QXDFU_FinishUpgrade or by closing the handle). Each case checks the final status and state,
// the log line, what the device was left with, that nothing hangs, and that a fresh open
// afterwards upgrades the device byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "api/DfuApi.h"
#include "device/DfuDevicePortFactory.h"
#include "discovery/EnumerationTestBus.h"
#include "flashbridge.h"
#include "image/ImageTestFiles.h"
#include "os/QXWinErrors.h"
#include "sim/SimDfuDevice.h"
#include "sim/SimWinusbDrvApi.h"
#include "sim/VirtualUsbBus.h"
#include "support/ApiUpgradeSteps.h"
#include "support/ShortTimeoutPort.h"
#include "support/TestLogTarget.h"
#include "usb/QXWinusbDrvApi.h"

#ifdef GetObject
#undef GetObject
#endif

namespace plendrik {
namespace {

using namespace std::chrono_literals;
using fbimg::Bytes;
using fbimg::Filler;
using sim::SimDfuDevice;
using sim::SimDfuDeviceConfig;
using sim::SimDfuDevicePtr;
using sim::SimDfuFault;
using sim::SimDfuFaultAction;
using sim::SimDfuRequestKind;
using sim::SimRunMode;
namespace dfu = sim::dfu;

constexpr uint16_t kVid = 0x1209;
constexpr uint16_t kAppPid = 0x5B01;
constexpr uint16_t kBootPid = 0x5B02;
constexpr uint16_t kTransferSize = 256;
constexpr size_t kImageSize = 2 * kTransferSize + 100;  // blocks 0, 1, 2 and the closing block 3
constexpr uint32_t kRequestTimeoutMs = 300;
constexpr uint8_t kDeviceStatus = dfu::errVERIFY;
constexpr QXSTATUS kDeviceErrorStatus = 0xEE001100u | kDeviceStatus;
// How the transport reports a stalled or babbling transfer and a device that is gone.
constexpr QXSTATUS kFailedTransfer = kQXErrorGenFailure;
constexpr QXSTATUS kGone = kQXErrorDeviceNotConnected;

enum class Step {
  StateCheck,
  ClearAtStart,
  StateAfterClear,
  AbortAtStart,
  SelectTarget,
  SelectXmosImage,
  MetadataHeader,
  Compatibility,
  UnlockToken,
  UnlockRequest,
  FirstBlock,
  MiddleBlock,
  LastBlock,
  StatusFirstBlock,
  StatusMiddleBlock,
  StatusLastBlock,
  ClosingBlock,
  ManifestStatus,
  ManifestPoll,
  Reboot,
};

enum class Fault { Stall, NoAnswer, ShortAnswer, LongAnswer, DfuError, UnexpectedState, Unplug, Finish, Close };

const char* StepName(Step s) {
  static const char* const names[] = {"StateCheck",       "ClearAtStart",      "StateAfterClear", "AbortAtStart",
                                      "SelectTarget",
                                      "SelectXmosImage",  "MetadataHeader",    "Compatibility",   "UnlockToken",
                                      "UnlockRequest",    "FirstBlock",        "MiddleBlock",     "LastBlock",
                                      "StatusFirstBlock", "StatusMiddleBlock", "StatusLastBlock", "ClosingBlock",
                                      "ManifestStatus",   "ManifestPoll",      "Reboot"};
  return names[static_cast<int>(s)];
}

const char* FaultName(Fault f) {
  static const char* const names[] = {"Stall",    "NoAnswer",        "ShortAnswer", "LongAnswer", "DfuError",
                                      "UnexpectedState", "Unplug", "Finish",      "Close"};
  return names[static_cast<int>(f)];
}

// Where a step's request is found on the wire and what the upgrade needs to reach it.
struct StepInfo {
  SimDfuRequestKind kind;
  std::optional<uint16_t> block;  // the fault's block filter
  uint32_t skip = 0;              // matching requests that pass before the fault fires
  uint16_t inLength = 0;          // data stage of a device-to-host request (0: none)
  bool qxImage = false;
  uint32_t flags = 0;
  bool locked = false;
  std::optional<dfu::State> leftIn;  // the state an earlier host left the bootloader in
  const char* errorLine = "";        // the step's own line when its request fails
  bool unlock = false;               // every failure of the step ends as QXSTATUS_ACCESS_DENIED
  bool afterImageSent = false;       // the whole image went out before the step
};

StepInfo InfoOf(Step step) {
  StepInfo i{SimDfuRequestKind::Other, std::nullopt};
  switch (step) {
    case Step::StateCheck:
      i.kind = SimDfuRequestKind::GetState;
      i.inLength = 1;
      i.errorLine = "DfuGetState(1) failed, st=";
      break;
    case Step::ClearAtStart:
      i.kind = SimDfuRequestKind::ClrStatus;
      i.leftIn = dfu::State::dfuERROR;
      i.errorLine = "DfuClrStatus failed, st=";
      break;
    case Step::StateAfterClear:
      i.kind = SimDfuRequestKind::GetState;
      i.skip = 1;
      i.inLength = 1;
      i.leftIn = dfu::State::dfuERROR;
      i.errorLine = "DfuGetState(2) failed, st=";
      break;
    case Step::AbortAtStart:
      i.kind = SimDfuRequestKind::Abort;
      i.leftIn = dfu::State::dfuDNLOAD_IDLE;
      i.errorLine = "DfuAbort failed, st=";
      break;
    case Step::SelectTarget:
      i.kind = SimDfuRequestKind::SetInterface;
      i.errorLine = "SetAlternateSetting(AS=";
      break;
    case Step::SelectXmosImage:
      i.kind = SimDfuRequestKind::XmosSelectImage;
      i.flags = QXDFU_UPGRADE_FLAG_USE_XMOS_DFU_EXTENSIONS;
      i.errorLine = "ClassOrVendorOutRequest(XMOS_DFU_SELECTIMAGE) failed, st=";
      break;
    case Step::MetadataHeader:
      i.kind = SimDfuRequestKind::StoreHeader;
      i.qxImage = true;
      i.errorLine = "PrivStoreImageMetadataHeader failed, st=";
      break;
    case Step::Compatibility:
      i.kind = SimDfuRequestKind::CheckCompatibility;
      i.qxImage = true;
      i.inLength = 4;
      i.errorLine = "PrivCheckImageCompatibility failed, st=";
      break;
    case Step::UnlockToken:
      i.kind = SimDfuRequestKind::GetUnlockToken;
      i.flags = QXDFU_UPGRADE_FLAG_UNLOCK_TARGET;
      i.locked = true;
      i.inLength = 80;
      i.errorLine = "PrivGetUnlockToken failed, st=";
      i.unlock = true;
      break;
    case Step::UnlockRequest:
      i.kind = SimDfuRequestKind::UnlockTarget;
      i.flags = QXDFU_UPGRADE_FLAG_UNLOCK_TARGET;
      i.locked = true;
      i.errorLine = "PrivUnlockTarget failed, st=";
      i.unlock = true;
      break;
    case Step::FirstBlock:
    case Step::MiddleBlock:
    case Step::LastBlock:
      i.kind = SimDfuRequestKind::Dnload;
      i.block = static_cast<uint16_t>(static_cast<int>(step) - static_cast<int>(Step::FirstBlock));
      i.afterImageSent = step == Step::LastBlock;
      break;
    case Step::StatusFirstBlock:
    case Step::StatusMiddleBlock:
    case Step::StatusLastBlock:
      i.kind = SimDfuRequestKind::GetStatus;
      i.block = static_cast<uint16_t>(static_cast<int>(step) - static_cast<int>(Step::StatusFirstBlock));
      i.inLength = 6;
      i.afterImageSent = step == Step::StatusLastBlock;
      break;
    case Step::ClosingBlock:
      i.kind = SimDfuRequestKind::Dnload;
      i.block = 3;
      i.errorLine = "DfuDnload(zero-length block=3) failed, st=";
      i.afterImageSent = true;
      break;
    case Step::ManifestStatus:
    case Step::ManifestPoll:
      i.kind = SimDfuRequestKind::GetStatus;
      i.block = 3;
      i.skip = step == Step::ManifestPoll ? 1 : 0;
      i.inLength = 6;
      i.errorLine = step == Step::ManifestPoll ? "DfuGetStatus(in state dfuMANIFEST_SYNC) failed, st="
                                               : "DfuGetStatus(after zero-length DfuDnload, block=3) failed, st=";
      i.afterImageSent = true;
      break;
    case Step::Reboot:
      i.kind = SimDfuRequestKind::Detach;
      break;
  }
  return i;
}

std::string BlockErrorLine(Step step) {
  const StepInfo info = InfoOf(step);
  const int block = info.block.value_or(0);
  if (info.kind == SimDfuRequestKind::Dnload) {
    return "DfuDnload(data block=" + std::to_string(block) + ") failed, st=";
  }
  return "DfuGetStatus(after DfuDnload, block=" + std::to_string(block) + ") failed, st=";
}

// What a case must end with.
struct Expected {
  QXSTATUS status = QXSTATUS_SUCCESS;  // completion status (or the reboot's result)
  std::string line;                    // a line of channel "Global" (empty: none checked)
  std::string dfuLine;                 // a line of channel "DFU" (empty: none checked)
  bool committed = false;              // the device manifested the image
  bool deviceGone = false;
  std::optional<dfu::State> deviceState;  // what the device is left in (checked when set)
  bool abortSent = false;                 // a DFU_ABORT followed the stop
};

std::string StateText(uint8_t state) {
  static const char* const names[] = {"appIDLE",          "appDETACH",     "dfuIDLE",
                                      "dfuDNLOAD_SYNC",   "dfuDNBUSY",     "dfuDNLOAD_IDLE",
                                      "dfuMANIFEST_SYNC", "dfuMANIFEST",   "dfuMANIFEST_WAIT_RESET",
                                      "dfuUPLOAD_IDLE",   "dfuERROR"};
  char text[64];
  // An 8-bit value in the alternate form: "0x" and two upper-case digits.
  std::snprintf(text, sizeof(text), "0x%02X (%s)", state, names[state]);
  return text;
}

// The state a made-up status answer reports: one that does not belong where it comes.
uint8_t UnexpectedStateFor(Step step) {
  return step == Step::StateCheck || step == Step::ManifestStatus || step == Step::ManifestPoll
             ? static_cast<uint8_t>(dfu::State::dfuDNBUSY)
             : static_cast<uint8_t>(dfu::State::dfuMANIFEST);
}

bool IsBlockStep(Step s) { return s >= Step::FirstBlock && s <= Step::StatusLastBlock; }

Expected ExpectedOf(Step step, Fault fault) {
  const StepInfo info = InfoOf(step);
  const std::string errorLine = IsBlockStep(step) ? BlockErrorLine(step) : std::string(info.errorLine);
  Expected e;
  // The image goes out before these steps, so the device manifests it (the simulated device
  // commits at its first status answer in manifestation), unless the fault came first.
  const bool manifestedBefore = step == Step::ManifestPoll || step == Step::Reboot;
  e.committed = manifestedBefore;
  if (step == Step::Reboot) {
    // A failed reboot request is only a warning: the device may have left before it answered.
    e.status = QXSTATUS_SUCCESS;
    e.line = "ignoring this error";
    e.deviceGone = fault == Fault::Unplug;
    return e;
  }
  if (fault == Fault::Finish || fault == Fault::Close) {
    if (step == Step::ClosingBlock || step == Step::ManifestStatus || step == Step::ManifestPoll) {
      // Once the device has the closing block a stop does not undo the image: the device is
      // followed through manifestation, and nothing is aborted.
      e.status = QXSTATUS_SUCCESS;
      e.committed = true;
      e.dfuLine = "Manifestation done";
      return e;
    }
    e.status = QXSTATUS_ABORTED;
    e.abortSent = true;
    // The stop comes at the first checkpoint after the delayed answer: before the next block,
    // or before the closing block, where the device is idle and takes DFU_ABORT.
    if (IsBlockStep(step)) {
      e.line = "aborting download, current block=" + std::to_string(info.block.value_or(0) + 1);
    } else {
      e.line = "aborting download, current block=0";
    }
    return e;
  }
  if (step == Step::SelectTarget &&
      (fault == Fault::Stall || fault == Fault::LongAnswer || fault == Fault::DfuError)) {
    // The DFU interface has one alternate setting, and a device may stall SET_INTERFACE to it;
    // one that went into dfuERROR with the stall refuses the first block.
    e.status = fault == Fault::DfuError ? kFailedTransfer : QXSTATUS_SUCCESS;
    e.line = fault == Fault::DfuError ? "DfuDnload(data block=0) failed, st=" : "SET_INTERFACE stalled";
    e.committed = fault != Fault::DfuError;
    return e;
  }
  switch (fault) {
    case Fault::Stall:
    case Fault::LongAnswer:
      e.status = kFailedTransfer;
      e.line = errorLine;
      break;
    case Fault::NoAnswer:
      e.status = step == Step::SelectTarget ? kQXErrorSemTimeout : QXSTATUS_TIMEOUT;
      e.line = errorLine;
      break;
    case Fault::ShortAnswer:
      e.status = QXSTATUS_LENGTH_MISMATCH;
      e.line = "unexpected length " + std::to_string(info.inLength - 1) + ", exp. " + std::to_string(info.inLength);
      break;
    case Fault::Unplug:
      e.status = kGone;
      e.line = errorLine;
      e.deviceGone = true;
      break;
    case Fault::UnexpectedState: {
      e.status = QXSTATUS_INVALID_DEVICE_STATE;
      const std::string state = StateText(UnexpectedStateFor(step));
      if (step == Step::StateCheck) {
        e.line = "unexpected device state " + state;
      } else if (step == Step::StateAfterClear) {
        e.line = "invalid device state " + state;
      } else if (IsBlockStep(step)) {
        e.line = "invalid device state " + state + " during download";
      } else {
        e.line = "invalid device state " + state + " during manifestation";
      }
      break;
    }
    case Fault::DfuError:
      if (step == Step::StateCheck) {
        // The device reports dfuERROR at the start: it is cleared, and the upgrade goes on.
        e.status = QXSTATUS_SUCCESS;
        e.dfuLine = "state is dfuERROR, trying to clear";
        e.committed = true;
        return e;
      }
      e.deviceState = dfu::State::dfuERROR;
      if (step == Step::StateAfterClear) {
        // Still in dfuERROR after the clear: the start gives up.
        e.status = QXSTATUS_INVALID_DEVICE_STATE;
        e.line = "invalid device state " + StateText(static_cast<uint8_t>(dfu::State::dfuERROR));
        return e;
      }
      if (IsBlockStep(step)) {
        e.status = kDeviceErrorStatus;
        e.line = "device has enterred dfuERROR after data block " + std::to_string(info.block.value_or(0));
      } else if (step == Step::ClosingBlock || step == Step::ManifestStatus || step == Step::ManifestPoll) {
        e.status = kDeviceErrorStatus;
        e.line = "device has enterred dfuERROR during manifestation";
      } else {
        // Any other request is refused with a stall while the device enters dfuERROR.
        e.status = kFailedTransfer;
        e.line = errorLine;
      }
      break;
    default:
      break;
  }
  if (info.unlock) {
    e.status = QXSTATUS_ACCESS_DENIED;  // whatever the inner status ("UnlockTarget failed, st={}")
  }
  // A status answer that the device sent, however mangled, started the manifestation.
  if (step == Step::ManifestStatus &&
      (fault == Fault::ShortAnswer || fault == Fault::LongAnswer || fault == Fault::UnexpectedState)) {
    e.committed = true;
  }
  return e;
}

struct MatrixCase {
  Step step;
  Fault fault;
};

bool Applies(Step step, Fault fault) {
  const StepInfo info = InfoOf(step);
  switch (fault) {
    case Fault::ShortAnswer:
      return info.inLength > 0;  // only a device-to-host data stage can come up short
    case Fault::UnexpectedState:
      return info.kind == SimDfuRequestKind::GetState || info.kind == SimDfuRequestKind::GetStatus;
    case Fault::Finish:
    case Fault::Close:
      return step != Step::Reboot;  // no upgrade runs then
    default:
      return true;
  }
}

std::vector<MatrixCase> Cases(bool racing) {
  std::vector<MatrixCase> cases;
  for (int s = 0; s <= static_cast<int>(Step::Reboot); ++s) {
    for (int f = 0; f <= static_cast<int>(Fault::Close); ++f) {
      const MatrixCase c{static_cast<Step>(s), static_cast<Fault>(f)};
      const bool isRacing = c.fault == Fault::Finish || c.fault == Fault::Close;
      if (isRacing == racing && Applies(c.step, c.fault)) {
        cases.push_back(c);
      }
    }
  }
  return cases;
}

std::string CaseName(const testing::TestParamInfo<MatrixCase>& info) {
  return std::string(StepName(info.param.step)) + "_" + FaultName(info.param.fault);
}

SimDfuFault FaultFor(Step step, Fault fault) {
  const StepInfo info = InfoOf(step);
  SimDfuFault f;
  f.request = info.kind;
  f.block = info.block;
  f.skip = info.skip;
  f.count = 1;
  switch (fault) {
    case Fault::Stall:
      f.action = SimDfuFaultAction::Stall;
      break;
    case Fault::NoAnswer:
      f.action = SimDfuFaultAction::NoAnswer;
      break;
    case Fault::ShortAnswer:
      f.action = SimDfuFaultAction::AnswerLength;
      f.answerLength = static_cast<uint16_t>(info.inLength - 1);
      break;
    case Fault::LongAnswer:
      f.action = SimDfuFaultAction::LongAnswer;
      break;
    case Fault::DfuError:
      f.action = SimDfuFaultAction::DfuError;
      f.bStatus = kDeviceStatus;
      break;
    case Fault::UnexpectedState:
      f.action = SimDfuFaultAction::PatchAnswer;
      f.patchOffset = info.kind == SimDfuRequestKind::GetState ? 0 : 4;
      f.patchValue = UnexpectedStateFor(step);
      break;
    case Fault::Unplug:
      f.action = SimDfuFaultAction::Unplug;
      break;
    case Fault::Finish:
    case Fault::Close:
      // The device holds its answer long enough for the caller to stop the upgrade meanwhile.
      f.action = SimDfuFaultAction::Delay;
      f.delay = 150ms;
      break;
  }
  return f;
}

std::string Filter(uint16_t pid) { return fbtest::VidPidFilter(kVid, pid); }

using fbtest::UpgradeResult;

class UpgradeFaultMatrix : public EnumerationBusTest, public testing::WithParamInterface<MatrixCase> {
 protected:
  void SetUp() override {
    EnumerationBusTest::SetUp();
    mSavedGuid = gDfuApi.GetDriverInterfaceGuid();
    gDfuApi.SetDriverInterfaceGuid(kTestGuidText);
    mSavedApi = &QXGetWinusbDrvApi();
    QXSetWinusbDrvApi(&sim::SimWinusbDrvApi::Instance());
    SetDfuDevicePortFactory(&fbtest::ShortTimeoutPortWith<kRequestTimeoutMs>);
    sim::SimWinusbDrvApi::SetSetInterfaceTimeout(std::chrono::milliseconds(kRequestTimeoutMs));
  }

  void TearDown() override {
    for (uint32_t h : mDeviceHandles) {
      QXDFU_CloseDevice(h);
    }
    for (uint32_t h : mImageHandles) {
      QXDFU_UnloadFirmwareImage(h);
    }
    if (mModel) {
      mModel->Unplug();
    }
    sim::SimWinusbDrvApi::SetSetInterfaceTimeout(0ms);
    SetDfuDevicePortFactory(nullptr);
    QXSetWinusbDrvApi(mSavedApi == &QXPlatformWinusbDrvApi() ? nullptr : mSavedApi);
    gDfuApi.SetDriverInterfaceGuid(mSavedGuid);
    EnumerationBusTest::TearDown();
  }

  SimDfuDeviceConfig Config(const StepInfo& info) const {
    SimDfuDeviceConfig config;
    config.vendorId = kVid;
    config.applicationProductId = kAppPid;
    config.bootloaderProductId = kBootPid;
    config.identity.interfaceClassGuid = TestGuid();
    config.startMode = SimRunMode::Bootloader;
    config.wTransferSize = kTransferSize;
    config.detachDelay = 0us;
    config.rejoinDelay = 20ms;
    config.randomSeed = 5;
    config.targets[0].firmware = kOldFirmware;
    config.targets[0].locked = info.locked;
    return config;
  }

  // Opens the first device of pid, waiting up to two seconds for it to be listed; 0 when none.
  uint32_t Open(uint16_t pid) {
    const uint32_t handle = fbtest::OpenFirstListed(Filter(pid), 200, 10);
    if (handle != 0) {
      mDeviceHandles.push_back(handle);
    }
    return handle;
  }

  void Close(uint32_t device) {
    EXPECT_EQ(QXDFU_CloseDevice(device), QXSTATUS_SUCCESS);
    std::erase(mDeviceHandles, device);
  }

  uint32_t Load(const Bytes& bytes, bool qx) {
    uint32_t handle = 0;
    EXPECT_EQ(QXDFU_LoadFirmwareFromBuffer(bytes.data(), bytes.size(),
                                           qx ? QXDFU_IMAGE_TYPE_QX_BINARY : QXDFU_IMAGE_TYPE_RAW_BINARY, &handle, 0),
              QXSTATUS_SUCCESS);
    mImageHandles.push_back(handle);
    return handle;
  }

  static UpgradeResult Status(uint32_t device) { return fbtest::ReadUpgradeStatus(device); }

  // Polls until the upgrade ends; a bounded wait, so a hang fails the case instead of the run.
  static UpgradeResult WaitForEnd(uint32_t device) {
    const UpgradeResult r = fbtest::WaitForUpgradeEnd(device, 10s);
    EXPECT_TRUE(r.state == QXDFU_UPGRADE_STATE_FINISHED || r.state == QXDFU_UPGRADE_STATE_FAILED)
        << "the upgrade did not end, state " << r.state;
    return r;
  }

  // Waits until the armed fault has fired (the worker reached the step).
  bool WaitForFault(uint32_t fired) const {
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (mModel->FaultsFired() < fired) {
      if (std::chrono::steady_clock::now() >= until) {
        return false;
      }
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }

  static Bytes ImageFor(const StepInfo& info, uint32_t seed) {
    if (!info.qxImage) {
      return Filler(kImageSize, seed);
    }
    fbimg::QxImageSpec spec;
    spec.length = kImageSize + seed * 16;  // a different image per seed
    return fbimg::MakeQxImage(spec);
  }

  // The device the model answers behind, once it is on the bus.
  sim::SimDevicePtr CurrentDevice() const {
    const auto until = std::chrono::steady_clock::now() + 5s;
    sim::SimDevicePtr device = mModel->CurrentDevice();
    while (!device && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(1ms);
      device = mModel->CurrentDevice();
    }
    return device;
  }

  // A fresh open of the device, wherever it is now, takes a new image byte for byte.
  void ExpectRecovery(const StepInfo& info) {
    SCOPED_TRACE("recovery");
    if (!mModel->IsOnBus()) {
      ASSERT_TRUE(mModel->Plug()) << "the device could not be plugged in again";
    }
    uint32_t boot = 0;
    if (mModel->RunMode() == SimRunMode::Application) {
      const uint32_t app = Open(kAppPid);
      ASSERT_NE(app, 0u);
      ASSERT_EQ(QXDFU_RebootDevice(app, QXDFU_RUN_MODE_BOOTLOADER, 0), QXSTATUS_SUCCESS);
      Close(app);
    }
    boot = Open(kBootPid);
    ASSERT_NE(boot, 0u) << "the bootloader is not found";
    const Bytes image = ImageFor(info, 2);
    ASSERT_EQ(QXDFU_StartUpgrade(boot, Load(image, info.qxImage), 0, info.flags), QXSTATUS_SUCCESS);
    const UpgradeResult r = WaitForEnd(boot);
    EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FINISHED);
    EXPECT_EQ(r.completionStatus, QXSTATUS_SUCCESS);
    EXPECT_EQ(r.currentBytes, image.size());
    EXPECT_EQ(QXDFU_FinishUpgrade(boot, 0), QXSTATUS_SUCCESS);
    EXPECT_EQ(mModel->Firmware(0), image);
    Close(boot);
  }

  void CheckDevice(const Expected& e, const Bytes& image) {
    EXPECT_EQ(mModel->IsOnBus(), !e.deviceGone);
    EXPECT_EQ(mModel->Firmware(0), e.committed ? image : kOldFirmware);
    if (e.deviceState) {
      EXPECT_EQ(mModel->State(), *e.deviceState);
      EXPECT_EQ(mModel->Status(), kDeviceStatus);
    }
  }

  // Counts DFU_ABORT requests sent to the device from the `from`th request on.
  static size_t AbortsSince(const sim::SimDevicePtr& device, size_t from) {
    const std::vector<sim::SimSetupPacket> log = device->RequestLog();
    size_t n = 0;
    for (size_t i = from; i < log.size(); ++i) {
      n += log[i].bmRequestType == dfu::kClassOut && log[i].bRequest == dfu::kAbort ? 1 : 0;
    }
    return n;
  }

  // Everything a case needs up to the start of its upgrade.
  uint32_t Prepare(const StepInfo& info) {
    mModel = SimDfuDevice::Create(sim::VirtualUsbBus::Instance(), Config(info));
    EXPECT_TRUE(mModel->Plug());
    const uint32_t boot = Open(kBootPid);
    if (boot != 0 && info.leftIn) {
      EXPECT_TRUE(mModel->LeaveInState(*info.leftIn, kDeviceStatus));
    }
    return boot;
  }

  void RunRebootCase(const MatrixCase& c) {
    const StepInfo info = InfoOf(c.step);
    const Expected e = ExpectedOf(c.step, c.fault);
    const uint32_t boot = Prepare(info);
    ASSERT_NE(boot, 0u);
    const Bytes image = ImageFor(info, 1);
    ASSERT_EQ(QXDFU_StartUpgrade(boot, Load(image, info.qxImage), 0, info.flags), QXSTATUS_SUCCESS);
    ASSERT_EQ(WaitForEnd(boot).state, QXDFU_UPGRADE_STATE_FINISHED);
    ASSERT_EQ(QXDFU_FinishUpgrade(boot, 0), QXSTATUS_SUCCESS);
    mModel->AddFault(FaultFor(c.step, c.fault));
    TestLogTarget log;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(QXDFU_RebootDevice(boot, QXDFU_RUN_MODE_APPLICATION, 0), e.status);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(mModel->FaultsFired(), 1u) << "the fault did not meet its request";
    if (!e.line.empty()) {
      EXPECT_TRUE(log.Contains(e.line)) << log.Dump();
    }
    // The session is done with the device either way.
    uint32_t mode = 0;
    EXPECT_EQ(QXDFU_GetDevicePropertyUint(boot, QXDFU_DEVICE_PROPERTY_CURRENT_RUN_MODE, &mode),
              QXSTATUS_INVALID_DEVICE_STATE);
    Close(boot);
    // A device that took the request leaves and comes back as its application; give it the time.
    std::this_thread::sleep_for(100ms);
    CheckDevice(e, image);
    ExpectRecovery(info);
  }

  std::string mSavedGuid;
  QXWinusbDrvApi* mSavedApi = nullptr;
  SimDfuDevicePtr mModel;
  std::vector<uint32_t> mDeviceHandles;
  std::vector<uint32_t> mImageHandles;
  const Bytes kOldFirmware = Filler(64, 99);
};

TEST_P(UpgradeFaultMatrix, EndsAsDocumentedAndAFreshOpenRecovers) {
  const MatrixCase c = GetParam();
  if (c.step == Step::Reboot) {
    RunRebootCase(c);
    return;
  }
  const StepInfo info = InfoOf(c.step);
  const Expected e = ExpectedOf(c.step, c.fault);
  const uint32_t boot = Prepare(info);
  ASSERT_NE(boot, 0u);
  mModel->AddFault(FaultFor(c.step, c.fault));
  const Bytes image = ImageFor(info, 1);
  const uint32_t imageHandle = Load(image, info.qxImage);
  UpgradeResult r;
  {
    TestLogTarget log;
    TestLogTarget dfuLog(gLogDfu, kQXLogLevelAll);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(QXDFU_StartUpgrade(boot, imageHandle, 0, info.flags), QXSTATUS_SUCCESS);
    r = WaitForEnd(boot);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(mModel->FaultsFired(), 1u) << "the fault did not meet its request";
    if (e.status == QXSTATUS_SUCCESS) {
      EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FINISHED);
      EXPECT_EQ(r.currentBytes, image.size());
    } else {
      EXPECT_EQ(r.state, QXDFU_UPGRADE_STATE_FAILED);
      EXPECT_TRUE(log.Contains("UpgradeOperation failed, st=")) << log.Dump();
    }
    EXPECT_EQ(r.completionStatus, e.status) << std::hex << "0x" << r.completionStatus << " expected 0x" << e.status;
    EXPECT_EQ(r.totalBytes, image.size());
    // An upgrade is finished only with every block acknowledged.
    EXPECT_TRUE(r.state != QXDFU_UPGRADE_STATE_FINISHED || r.currentBytes == image.size());
    if (!e.line.empty()) {
      EXPECT_TRUE(log.Contains(e.line)) << e.line << "\n" << log.Dump();
    }
    if (!e.dfuLine.empty()) {
      EXPECT_TRUE(dfuLog.Contains(e.dfuLine)) << e.dfuLine << "\n" << dfuLog.Dump();
    }
    if (info.unlock) {
      EXPECT_TRUE(log.Contains("UnlockTarget failed, st=")) << log.Dump();
    }
  }
  CheckDevice(e, image);
  // Whatever the outcome, the finish returns the session to Idle; it answers success only for
  // an upgrade that succeeded, and otherwise the upgrade's own status.
  EXPECT_EQ(QXDFU_FinishUpgrade(boot, 0), e.status);
  EXPECT_EQ(Status(boot).state, QXDFU_UPGRADE_STATE_IDLE);
  Close(boot);
  ExpectRecovery(info);
}

INSTANTIATE_TEST_SUITE_P(Steps, UpgradeFaultMatrix, testing::ValuesIn(Cases(false)), CaseName);

// The caller stops the upgrade (QXDFU_FinishUpgrade, or closing the handle) while the device
// holds the answer to the step's request: the stop races the worker thread.
class UpgradeFaultMatrixThreads : public UpgradeFaultMatrix {};

TEST_P(UpgradeFaultMatrixThreads, StopDuringTheStepEndsAsDocumentedAndAFreshOpenRecovers) {
  const MatrixCase c = GetParam();
  const StepInfo info = InfoOf(c.step);
  const Expected e = ExpectedOf(c.step, c.fault);
  const uint32_t boot = Prepare(info);
  ASSERT_NE(boot, 0u);
  const sim::SimDevicePtr device = CurrentDevice();
  ASSERT_NE(device, nullptr);
  mModel->AddFault(FaultFor(c.step, c.fault));
  const Bytes image = ImageFor(info, 1);
  const uint32_t imageHandle = Load(image, info.qxImage);
  {
    TestLogTarget log;
    TestLogTarget dfuLog(gLogDfu, kQXLogLevelAll);
    ASSERT_EQ(QXDFU_StartUpgrade(boot, imageHandle, 0, info.flags), QXSTATUS_SUCCESS);
    ASSERT_TRUE(WaitForFault(1)) << "the upgrade never reached the step";
    const size_t requestsAtStop = device->RequestCount();
    const auto start = std::chrono::steady_clock::now();
    if (c.fault == Fault::Finish) {
      EXPECT_EQ(QXDFU_FinishUpgrade(boot, 0), e.status);
      EXPECT_EQ(Status(boot).state, QXDFU_UPGRADE_STATE_IDLE);
      if (e.status == QXSTATUS_ABORTED) {
        EXPECT_TRUE(dfuLog.Contains("operation was aborted")) << dfuLog.Dump();
      }
    } else {
      Close(boot);
      uint32_t state = 0;
      EXPECT_EQ(QXDFU_GetUpgradeStatus(boot, &state, nullptr, nullptr, nullptr), QXSTATUS_INVALID_HANDLE);
      EXPECT_EQ(log.Contains("AbortPendingOperation failed, st=0xee000005"), e.status == QXSTATUS_ABORTED)
          << log.Dump();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    if (!e.line.empty()) {
      EXPECT_TRUE(log.Contains(e.line)) << e.line << "\n" << log.Dump();
    }
    if (!e.dfuLine.empty()) {
      EXPECT_TRUE(dfuLog.Contains(e.dfuLine)) << e.dfuLine << "\n" << dfuLog.Dump();
    }
    EXPECT_EQ(AbortsSince(device, requestsAtStop), e.abortSent ? 1u : 0u);
  }
  CheckDevice(e, image);
  if (c.fault == Fault::Finish) {
    Close(boot);
  }
  ExpectRecovery(info);
}

INSTANTIATE_TEST_SUITE_P(Steps, UpgradeFaultMatrixThreads, testing::ValuesIn(Cases(true)), CaseName);

}  // namespace
}  // namespace plendrik
