// A simulated USB DFU 1.1 device: one physical device that runs either its application (run-time
// DFU interface, protocol 1) or its bootloader (DFU mode, protocol 2, the full DFU state machine,
// the XMOS requests and the private compatibility and unlock requests). It leaves and re-joins
// the bus when it switches run mode and keeps what it was given across those re-enumerations.
// Its time (poll times, flash writes, manifestation, detach delays) comes from the bus's
// scheduler; it starts no threads. Faults can be injected at any request or block.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "sim/SimDeviceModel.h"
#include "sim/SimDfuAlternateSettingPolicy.h"
#include "sim/SimDfuDetachPolicy.h"
#include "sim/SimDfuManifestationPolicy.h"
#include "sim/SimDfuProtocol.h"
#include "sim/SimDfuStatusTiming.h"
#include "sim/SimDfuVariants.h"

namespace plendrik::sim {

// One target of the bootloader: an alternate setting of the DFU interface and an XMOS image index.
struct SimDfuTargetConfig {
  QXWString name{};  // iInterface string of its alternate setting; empty: none
  // The bootloader's judgement of a stored metadata header for this target: the target
  // identification it takes (none: any) and the lowest image version it takes.
  std::optional<uint32_t> acceptedTargetId{};
  std::array<uint16_t, 4> minimumVersion{0, 0, 0, 0};
  // Answered instead of the judgement, whatever the header says.
  std::optional<uint32_t> compatibilityAnswer{};
  // A locked target refuses downloads until it is unlocked by the token handshake.
  bool locked = false;
  // Firmware the target holds before anything is downloaded.
  std::vector<uint8_t> firmware{};
};

// The request kinds a fault can aim at.
enum class SimDfuRequestKind {
  Detach,
  Dnload,
  Upload,
  GetStatus,
  ClrStatus,
  GetState,
  Abort,
  XmosToBootloader,
  XmosToApplication,
  XmosSelectImage,
  StoreHeader,
  CheckCompatibility,
  GetUnlockToken,
  UnlockTarget,
  SetInterface,  // standard SET_INTERFACE to the DFU interface: the target selection
  Other,
};

enum class SimDfuFaultAction {
  Stall,            // stall the request; the DFU state does not change
  NoAnswer,         // never complete it (the host's time-out and cancellation run)
  AnswerLength,     // answer with answerLength bytes (data padded with zeros or cut; an OUT
                    // request acknowledges answerLength bytes); never more than wLength
  DfuError,         // enter dfuERROR with bStatus: a DFU_DNLOAD is acknowledged and the error
                    // shows in the next status, DFU_GETSTATUS reports it, anything else stalls
  StuckDnBusy,      // the flash write of the block never ends: DFU_GETSTATUS answers dfuDNBUSY
  StuckDnloadSync,  // DFU_GETSTATUS keeps answering dfuDNLOAD_SYNC for the block
  StayOnBus,        // a detach or reset is acknowledged but the device never leaves the bus
  PatchAnswer,      // answer as usual but with the byte at patchOffset set to patchValue
                    // (a token of the wrong size, a status record with a made-up state)
  Unplug,           // the device is unplugged instead of answering
  LongAnswer,       // the device acts on the request but sends more than the transfer allows
                    // (babble); the host controller fails the transfer
  Delay,            // the device acts on the request at once but answers only after `delay`
                    // (a host may act meanwhile, e.g. stop the upgrade)
};

// A fault fires on requests that match its request kind (none: any) and block number (none:
// any; a DFU_DNLOAD's block is its wValue, a status or state request during a download belongs
// to the last data block received; one during manifestation to the closing zero-length
// block; a SET_INTERFACE has none). The first `skip` matches pass; then it fires `count` times
// (0: for ever).
struct SimDfuFault {
  SimDfuFaultAction action = SimDfuFaultAction::Stall;
  std::optional<SimDfuRequestKind> request{};
  std::optional<uint16_t> block{};
  uint32_t skip = 0;
  uint32_t count = 1;
  uint8_t bStatus = dfu::errUNKNOWN;
  uint16_t answerLength = 0;
  uint16_t patchOffset = 0;
  uint8_t patchValue = 0;
  std::chrono::milliseconds delay{0};
};

struct SimDfuDeviceConfig {
  uint16_t vendorId = 0x20B1;
  uint16_t applicationProductId = 0x0008;
  uint16_t bootloaderProductId = 0x0009;
  uint16_t bcdDevice = 0x0100;
  QXWString manufacturer = QXW("Plendrik");
  QXWString product = QXW("Simulated DFU device");
  QXWString serialNumber = QXW("SIM0001");
  SimIdentitySpec identity;

  SimRunMode startMode = SimRunMode::Application;

  // The DFU interface in each run mode; the application may offer further interfaces
  // (a composite device) around it.
  uint8_t applicationDfuInterface = 0;
  uint8_t bootloaderDfuInterface = 0;
  std::vector<SimInterfaceSpec> otherApplicationInterfaces;

  // Functional descriptor.
  uint8_t bmAttributes = dfu::kCanDnload | dfu::kManifestationTolerant | dfu::kWillDetach;
  uint16_t wDetachTimeOut = 1000;
  uint16_t wTransferSize = 4096;
  uint16_t bcdDFUVersion = dfu::kDfuVersion11;

  // The bootloader's targets: alternate settings 0..n-1 of its DFU interface.
  std::vector<SimDfuTargetConfig> targets{SimDfuTargetConfig{}};

  // Time model; all zero for fast tests.
  uint32_t pollTimeoutMs = 0;  // bwPollTimeout of every status answer in the bootloader
  std::chrono::microseconds flashWritePerBlock{0};
  std::chrono::microseconds manifestationTime{0};
  // Status answers in dfuDNLOAD_SYNC (and the first in dfuMANIFEST_SYNC) that report that
  // state before the device starts the write (or the manifestation).
  uint32_t syncAnswers = 0;
  // From the acknowledged detach (or reset) to leaving the bus; none: wDetachTimeOut.
  std::optional<std::chrono::microseconds> detachDelay;
  // From leaving the bus to joining it again in the other run mode.
  std::chrono::microseconds rejoinDelay{0};

  // Where the device is as strict as hardware may be; the defaults are lenient.
  SimDfuVariants variants;

  std::vector<SimDfuFault> faults;
  // Told of every manifested firmware (target, bytes), e.g. to write it to a file. Called with
  // the device's lock held: it must not call the device.
  std::function<void(uint8_t target, const std::vector<uint8_t>& firmware)> firmwareCommitted;
  // Seeds the challenges of unlock tokens; none: a random seed.
  std::optional<uint64_t> randomSeed;
};

class SimDfuDevice : public SimDeviceModel, public std::enable_shared_from_this<SimDfuDevice> {
 public:
  static std::shared_ptr<SimDfuDevice> Create(SimBusAccess& bus, SimDfuDeviceConfig config);

  // Plugs the device in, in its current run mode. False when it is on the bus already.
  bool Plug();
  // Pulls the plug now. False when it is not on the bus.
  bool Unplug();
  // A USB reset of the device on the bus (as the hub's port reset): it leaves the bus at once
  // and joins it again after rejoinDelay, in the run mode and state a reset leads to (see
  // SimDfuDetachPolicy::UsbReset). False when it is not on the bus.
  bool Reset();

  // The device description of a run mode, with real descriptors.
  SimDeviceSpec BuildSpec(SimRunMode mode) const;
  static SimDeviceSpec BuildSpec(const SimDfuDeviceConfig& config, SimRunMode mode);

  SimRunMode RunMode() const;
  dfu::State State() const;
  uint8_t Status() const;
  bool IsOnBus() const;
  // The device the model currently answers behind; null while it is off the bus.
  SimDevicePtr CurrentDevice() const;
  // The target of the current or last download: the XMOS image index or the alternate setting
  // that the host selected last.
  uint8_t SelectedTarget() const;
  // The firmware each target holds: initial or committed at the last manifestation.
  std::optional<std::vector<uint8_t>> Firmware(uint8_t target) const;
  // Manifestations completed so far.
  uint32_t ManifestationCount() const;
  // The last stored metadata header (empty: none).
  std::vector<uint8_t> StoredHeader() const;
  bool IsLocked(uint8_t target) const;

  // Adds a fault while the device runs.
  void AddFault(const SimDfuFault& fault);
  // How many times faults have fired so far (all faults together).
  uint32_t FaultsFired() const;
  // Puts the bootloader into the state an earlier host left it in: dfuERROR with `status`, or
  // dfuDNLOAD_IDLE after block 0 of a download into the selected target. False when the device
  // is not on the bus in its bootloader or the state is neither of the two.
  bool LeaveInState(dfu::State state, uint8_t status = dfu::kOK);

  void HandleRequest(SimDevice& device, const SimControlRequestPtr& request) override;
  void OnAttached(SimDevice& device) override;
  void OnDetached(SimDevice& device) override;
  bool OnUsbReset(SimDevice& device) override;
  bool InterceptStandardRequest(SimDevice& device, const SimControlRequestPtr& request,
                                std::function<void()> answer) override;

 private:
  SimDfuDevice(SimBusAccess& bus, SimDfuDeviceConfig config);

  // What to do with a request once the model's lock is released.
  struct Reply {
    enum class Kind { Ack, Data, Stall, None, Gone, Overrun } kind = Kind::Stall;
    std::vector<uint8_t> data;
    std::optional<uint16_t> length;  // answer (or acknowledge) exactly this many bytes
  };
  struct FaultSlot {
    SimDfuFault fault;
    uint32_t seen = 0;
    uint32_t fired = 0;
  };
  // Delayed work, scheduled once the lock is released; it does nothing when its epoch is stale.
  struct Timer {
    std::chrono::microseconds delay{0};
    void (SimDfuDevice::*step)(uint64_t epoch) = nullptr;
    uint64_t epoch = 0;
  };
  struct Outcome {
    Reply reply;
    std::vector<Timer> timers;
    std::chrono::milliseconds replyDelay{0};  // the reply is sent this much later
  };

  // Everything below that is not static runs with mMutex held, but the timer steps, which
  // take it themselves.
  static SimDfuRequestKind KindOf(const SimSetupPacket& setup);
  std::optional<uint16_t> BlockOf(SimDfuRequestKind kind, const SimSetupPacket& setup) const;
  const SimDfuFault* MatchFault(SimDfuRequestKind kind, std::optional<uint16_t> block);
  void TrackAlternateSetting(const SimDevice& device);

  Outcome Dispatch(SimDfuRequestKind kind, const SimControlRequest& request);
  Outcome Application(SimDfuRequestKind kind);
  Outcome Bootloader(SimDfuRequestKind kind, const SimControlRequest& request);
  Outcome Dnload(const SimControlRequest& request);
  Outcome GetStatus();
  Outcome PrivateRequest(SimDfuRequestKind kind, const SimControlRequest& request);
  Outcome Fail(uint8_t status);
  Outcome Leave(SimRunMode next, std::chrono::microseconds delay);
  std::chrono::microseconds DetachDelay() const;
  std::chrono::microseconds ResetDelay() const;
  std::vector<uint8_t> StatusRecord(uint32_t pollMs) const;
  Outcome StatusAnswer(bool stillBusy);
  bool ResetLocked(uint64_t deviceId, uint64_t& epoch);
  uint32_t JudgeHeader(uint16_t target) const;
  std::vector<uint8_t> NewToken(uint8_t target);
  bool CheckUnlock(const std::vector<uint8_t>& mac);
  void ResetDownload();
  std::vector<Timer> CompleteManifestation();

  void WriteDone(uint64_t epoch);
  void ManifestationDone(uint64_t epoch);
  void LeaveBus(uint64_t epoch);
  void JoinBus(uint64_t epoch);
  bool AttachToBus(const SimDeviceSpec& spec);
  void StartTimers(const std::vector<Timer>& timers);
  static void Send(const SimControlRequestPtr& request, const Reply& reply);
  void SendLater(const SimControlRequestPtr& request, const Reply& reply, std::chrono::milliseconds delay);

  SimBusAccess& mBus;
  const SimDfuDeviceConfig mConfig;
  SimDfuStatusTiming mTiming;
  const SimDfuDetachPolicy mDetachPolicy;
  const SimDfuManifestationPolicy mManifestation;
  const SimDfuAlternateSettingPolicy mAlternateSettings;

  mutable std::mutex mMutex;
  SimRunMode mMode;
  SimRunMode mNextMode;
  std::optional<uint64_t> mDeviceId;  // the device on the bus; none while off it
  SimDevicePtr mDevice;               // the same, once the bus has handed it out
  bool mLeaving = false;              // leaving the bus to re-join in mNextMode
  bool mAttaching = false;            // the bus is plugging the device in
  uint64_t mBusEpoch = 1;             // guards leaving and re-joining
  uint64_t mWorkEpoch = 1;            // guards flash writes and manifestation
  dfu::State mState;
  uint8_t mStatus = dfu::kOK;
  size_t mLogSeen = 0;  // request-log position of the device up to which it was looked at
  uint8_t mTarget = 0;

  // The download in progress.
  std::vector<uint8_t> mPending;
  std::optional<uint16_t> mLastBlock;
  std::optional<uint16_t> mClosingBlock;  // wValue of the zero-length block that ended it
  bool mWriteDone = true;
  bool mStuckBusy = false;
  bool mStuckSync = false;
  uint32_t mSyncAnswersLeft = 0;
  bool mManifestDone = false;

  std::map<uint8_t, std::vector<uint8_t>> mFirmware;
  uint32_t mManifestations = 0;
  std::vector<uint8_t> mHeader;
  std::set<uint8_t> mUnlocked;
  std::optional<std::pair<uint8_t, std::array<uint8_t, dfu::kChallengeLength>>> mChallenge;
  std::mt19937_64 mRandom;
  std::vector<FaultSlot> mFaults;
  uint32_t mFaultsFired = 0;
  bool mStayOnBus = false;
  std::optional<uint8_t> mJoinError;  // the bootloader joins the bus in dfuERROR with this status
};

using SimDfuDevicePtr = std::shared_ptr<SimDfuDevice>;

}  // namespace plendrik::sim
