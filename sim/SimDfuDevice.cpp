// The simulated DFU device: run modes, the DFU 1.1 state machine, leaving and re-joining the bus,
// and fault injection. The private bootloader requests are in SimDfuPrivate.cpp.
//
// Every request is decided under the model's lock; the answer is sent, delayed work scheduled
// and the bus called only after the lock is released, because each of those may re-enter the
// model (the host's next request, a bus observer, a scheduler that waits for a running task).
// Delayed work never gets cancelled: it carries an epoch and does nothing when it is stale.
#include "sim/SimDfuDevice.h"

namespace plendrik::sim {

namespace {

constexpr uint8_t kStandardOut = 0x01;
constexpr uint8_t kSetInterface = 0x0B;

bool InDownload(dfu::State state) {
  return state == dfu::State::dfuDNLOAD_SYNC || state == dfu::State::dfuDNBUSY || state == dfu::State::dfuDNLOAD_IDLE;
}

bool InManifestation(dfu::State state) {
  return state == dfu::State::dfuMANIFEST_SYNC || state == dfu::State::dfuMANIFEST ||
         state == dfu::State::dfuMANIFEST_WAIT_RESET;
}

}  // namespace

std::shared_ptr<SimDfuDevice> SimDfuDevice::Create(SimBusAccess& bus, SimDfuDeviceConfig config) {
  return std::shared_ptr<SimDfuDevice>(new SimDfuDevice(bus, std::move(config)));
}

SimDfuDevice::SimDfuDevice(SimBusAccess& bus, SimDfuDeviceConfig config)
    : mBus(bus),
      mConfig(std::move(config)),
      mTiming(mConfig.pollTimeoutMs, mConfig.variants),
      mDetachPolicy(mConfig.variants),
      mManifestation((mConfig.bmAttributes & dfu::kManifestationTolerant) != 0, mConfig.variants),
      mAlternateSettings(mConfig.variants),
      mMode(mConfig.startMode),
      mNextMode(mConfig.startMode),
      mState(mConfig.startMode == SimRunMode::Application ? dfu::State::appIDLE : dfu::State::dfuIDLE) {
  if (mConfig.randomSeed) {
    mRandom.seed(*mConfig.randomSeed);
  } else {
    std::random_device device;
    mRandom.seed((static_cast<uint64_t>(device()) << 32) ^ device());
  }
  for (size_t i = 0; i < mConfig.targets.size() && i < 256; ++i) {
    if (!mConfig.targets[i].firmware.empty()) {
      mFirmware[static_cast<uint8_t>(i)] = mConfig.targets[i].firmware;
    }
  }
  for (const SimDfuFault& fault : mConfig.faults) {
    mFaults.push_back(FaultSlot{fault});
  }
}

// ---- bus presence ----

bool SimDfuDevice::Plug() {
  SimDeviceSpec spec;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mDeviceId || mAttaching) {
      return false;
    }
    ++mBusEpoch;  // a re-join that was still due must not plug the device in a second time
    mLeaving = false;
    mJoinError.reset();
    mAttaching = true;
    spec = BuildSpec(mMode);
  }
  return AttachToBus(spec);
}

bool SimDfuDevice::AttachToBus(const SimDeviceSpec& spec) {
  SimDevicePtr device = mBus.Attach(spec, shared_from_this());
  std::lock_guard<std::mutex> lock(mMutex);
  mAttaching = false;
  if (device && mDeviceId == device->Id()) {
    mDevice = device;
  }
  return device != nullptr;
}

bool SimDfuDevice::Unplug() {
  uint64_t id = 0;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    // A pulled plug also ends a pending leave or re-join, even while the device is between
    // leaving and joining again (off the bus, about to come back).
    ++mBusEpoch;
    mLeaving = false;
    mJoinError.reset();
    if (!mDeviceId) {
      return false;
    }
    id = *mDeviceId;
  }
  return mBus.Detach(id);
}

bool SimDfuDevice::Reset() {
  uint64_t epoch = 0;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mDeviceId || !ResetLocked(*mDeviceId, epoch)) {
      return false;
    }
  }
  LeaveBus(epoch);
  return true;
}

bool SimDfuDevice::OnUsbReset(SimDevice& device) {
  uint64_t epoch = 0;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (!ResetLocked(device.Id(), epoch)) {
      return true;  // not this model's device any more: nothing of it to reset
    }
  }
  LeaveBus(epoch);
  return true;
}

bool SimDfuDevice::ResetLocked(uint64_t deviceId, uint64_t& epoch) {
  if (mDeviceId != deviceId) {
    return false;
  }
  // The hub resets the port whatever the device was doing: a pending detach or re-join is
  // replaced by this one, and the device cannot decline to leave.
  const SimDfuDetachPolicy::AfterReset after = SimDfuDetachPolicy::UsbReset(mMode, mState);
  mNextMode = after.mode;
  mJoinError = after.errorStatus;
  mLeaving = true;
  epoch = ++mBusEpoch;
  return true;
}

void SimDfuDevice::OnAttached(SimDevice& device) {
  std::lock_guard<std::mutex> lock(mMutex);
  mDeviceId = device.Id();
  mDevice.reset();
  mLogSeen = 0;
  mState = mMode == SimRunMode::Application ? dfu::State::appIDLE : dfu::State::dfuIDLE;
  mStatus = dfu::kOK;
  if (mMode == SimRunMode::Bootloader && mJoinError) {
    mState = dfu::State::dfuERROR;
    mStatus = *mJoinError;
  }
  mJoinError.reset();
  mTarget = 0;
  ResetDownload();
}

void SimDfuDevice::OnDetached(SimDevice& device) {
  std::lock_guard<std::mutex> lock(mMutex);
  if (mDeviceId != device.Id()) {
    return;
  }
  // A device off the bus has no power: what was not committed is lost, unlocks end.
  mDeviceId.reset();
  mDevice.reset();
  ResetDownload();
  mHeader.clear();
  mUnlocked.clear();
  mChallenge.reset();
}

SimDfuDevice::Outcome SimDfuDevice::Leave(SimRunMode next, std::chrono::microseconds delay) {
  Outcome outcome;
  outcome.reply.kind = Reply::Kind::Ack;
  if (mStayOnBus) {
    mStayOnBus = false;
    return outcome;
  }
  mLeaving = true;
  mNextMode = next;
  mJoinError.reset();
  outcome.timers.push_back(Timer{delay, &SimDfuDevice::LeaveBus, mBusEpoch});
  return outcome;
}

std::chrono::microseconds SimDfuDevice::DetachDelay() const {
  return mConfig.detachDelay.value_or(std::chrono::milliseconds(mConfig.wDetachTimeOut));
}

std::chrono::microseconds SimDfuDevice::ResetDelay() const {
  return mConfig.detachDelay.value_or(std::chrono::microseconds(0));
}

void SimDfuDevice::LeaveBus(uint64_t epoch) {
  uint64_t id = 0;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (epoch != mBusEpoch || !mLeaving || !mDeviceId) {
      return;
    }
    id = *mDeviceId;
  }
  mBus.Detach(id);
  uint64_t joinEpoch = 0;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mDeviceId == id) {
      // The bus did not report the removal (the device was gone already): forget it here.
      mDeviceId.reset();
      mDevice.reset();
      ResetDownload();
    }
    if (epoch != mBusEpoch || !mLeaving) {
      return;  // unplugged or plugged in by hand meanwhile
    }
    joinEpoch = ++mBusEpoch;
  }
  StartTimers({Timer{mConfig.rejoinDelay, &SimDfuDevice::JoinBus, joinEpoch}});
}

void SimDfuDevice::JoinBus(uint64_t epoch) {
  SimDeviceSpec spec;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (epoch != mBusEpoch || !mLeaving || mDeviceId || mAttaching) {
      return;
    }
    mLeaving = false;
    mAttaching = true;
    mMode = mNextMode;
    spec = BuildSpec(mMode);
  }
  AttachToBus(spec);
}

// ---- requests ----

SimDfuRequestKind SimDfuDevice::KindOf(const SimSetupPacket& setup) {
  switch (setup.bmRequestType) {
    case dfu::kClassOut:
      switch (setup.bRequest) {
        case dfu::kDetach:
          return SimDfuRequestKind::Detach;
        case dfu::kDnload:
          return SimDfuRequestKind::Dnload;
        case dfu::kClrStatus:
          return SimDfuRequestKind::ClrStatus;
        case dfu::kAbort:
          return SimDfuRequestKind::Abort;
        case dfu::kXmosToBootloader:
          return SimDfuRequestKind::XmosToBootloader;
        case dfu::kXmosToApplication:
          return SimDfuRequestKind::XmosToApplication;
        case dfu::kXmosSelectImage:
          return SimDfuRequestKind::XmosSelectImage;
        default:
          return SimDfuRequestKind::Other;
      }
    case dfu::kClassIn:
      switch (setup.bRequest) {
        case dfu::kUpload:
          return SimDfuRequestKind::Upload;
        case dfu::kGetStatus:
          return SimDfuRequestKind::GetStatus;
        case dfu::kGetState:
          return SimDfuRequestKind::GetState;
        default:
          return SimDfuRequestKind::Other;
      }
    case dfu::kVendorOut:
      switch (setup.bRequest) {
        case dfu::kPrivStoreHeader:
          return SimDfuRequestKind::StoreHeader;
        case dfu::kPrivUnlockTarget:
          return SimDfuRequestKind::UnlockTarget;
        default:
          return SimDfuRequestKind::Other;
      }
    case dfu::kVendorIn:
      switch (setup.bRequest) {
        case dfu::kPrivCheckCompatibility:
          return SimDfuRequestKind::CheckCompatibility;
        case dfu::kPrivGetUnlockToken:
          return SimDfuRequestKind::GetUnlockToken;
        default:
          return SimDfuRequestKind::Other;
      }
    default:
      return SimDfuRequestKind::Other;
  }
}

std::optional<uint16_t> SimDfuDevice::BlockOf(SimDfuRequestKind kind, const SimSetupPacket& setup) const {
  if (kind == SimDfuRequestKind::Dnload) {
    return setup.wValue;
  }
  if ((kind == SimDfuRequestKind::GetStatus || kind == SimDfuRequestKind::GetState) && InDownload(mState)) {
    return mLastBlock;
  }
  if ((kind == SimDfuRequestKind::GetStatus || kind == SimDfuRequestKind::GetState) && InManifestation(mState)) {
    return mClosingBlock;
  }
  return std::nullopt;
}

const SimDfuFault* SimDfuDevice::MatchFault(SimDfuRequestKind kind, std::optional<uint16_t> block) {
  for (FaultSlot& slot : mFaults) {
    const SimDfuFault& fault = slot.fault;
    if (fault.request && *fault.request != kind) {
      continue;
    }
    if (fault.block && (!block || *block != *fault.block)) {
      continue;
    }
    if (fault.count != 0 && slot.fired >= fault.count) {
      continue;
    }
    if (++slot.seen <= fault.skip) {
      continue;
    }
    ++slot.fired;
    ++mFaultsFired;
    return &slot.fault;
  }
  return nullptr;
}

void SimDfuDevice::TrackAlternateSetting(const SimDevice& device) {
  // The device answers SET_INTERFACE itself; its request log tells which alternate setting,
  // that is which target, the host selected. Only the requests since the last look are read.
  for (const SimSetupPacket& setup : device.RequestLogSince(mLogSeen, &mLogSeen)) {
    if (setup.bmRequestType == kStandardOut && setup.bRequest == kSetInterface &&
        setup.wIndex == mConfig.bootloaderDfuInterface && setup.wValue < mConfig.targets.size()) {
      mTarget = static_cast<uint8_t>(setup.wValue);
    }
  }
}

void SimDfuDevice::HandleRequest(SimDevice& device, const SimControlRequestPtr& request) {
  const SimSetupPacket& setup = request->Setup();
  Outcome outcome;
  std::optional<uint64_t> unplugId;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mDeviceId != device.Id()) {
      outcome.reply.kind = Reply::Kind::Gone;
    } else {
      const uint8_t dfuInterface =
          mMode == SimRunMode::Application ? mConfig.applicationDfuInterface : mConfig.bootloaderDfuInterface;
      const SimDfuRequestKind kind = (setup.wIndex & 0xFF) == dfuInterface ? KindOf(setup) : SimDfuRequestKind::Other;
      // The target matters when a download starts or an image is selected; only then is the
      // log read, so that a long download does not read it for every block.
      if (mMode == SimRunMode::Bootloader && ((kind == SimDfuRequestKind::Dnload && mState == dfu::State::dfuIDLE) ||
                                              kind == SimDfuRequestKind::XmosSelectImage)) {
        TrackAlternateSetting(device);
      }
      const SimDfuFault* fault = MatchFault(kind, BlockOf(kind, setup));
      const SimDfuFaultAction action = fault ? fault->action : SimDfuFaultAction::Stall;
      if (!fault) {
        outcome = Dispatch(kind, *request);
      } else if (action == SimDfuFaultAction::Stall) {
        outcome.reply.kind = Reply::Kind::Stall;
      } else if (action == SimDfuFaultAction::NoAnswer) {
        outcome.reply.kind = Reply::Kind::None;
      } else if (action == SimDfuFaultAction::Unplug) {
        outcome.reply.kind = Reply::Kind::Gone;
        unplugId = mDeviceId;
        ++mBusEpoch;
        mLeaving = false;
      } else if (action == SimDfuFaultAction::DfuError && mMode == SimRunMode::Bootloader) {
        mState = dfu::State::dfuERROR;
        mStatus = fault->bStatus;
        ResetDownload();
        if (kind == SimDfuRequestKind::Dnload) {
          outcome.reply.kind = Reply::Kind::Ack;
        } else if (kind == SimDfuRequestKind::GetStatus) {
          outcome.reply = {Reply::Kind::Data, StatusRecord(mTiming.PollTimeout(false)), std::nullopt};
        } else if (kind == SimDfuRequestKind::GetState) {
          outcome.reply = {Reply::Kind::Data, {static_cast<uint8_t>(mState)}, std::nullopt};
        } else {
          outcome.reply.kind = Reply::Kind::Stall;
        }
      } else if (action == SimDfuFaultAction::DfuError) {
        outcome.reply.kind = Reply::Kind::Stall;  // no dfuERROR in the application
      } else {
        if (action == SimDfuFaultAction::StuckDnBusy) {
          mStuckBusy = true;
        } else if (action == SimDfuFaultAction::StuckDnloadSync) {
          mStuckSync = true;
        } else if (action == SimDfuFaultAction::StayOnBus) {
          mStayOnBus = true;
        }
        outcome = Dispatch(kind, *request);
        if (action == SimDfuFaultAction::AnswerLength &&
            (outcome.reply.kind == Reply::Kind::Ack || outcome.reply.kind == Reply::Kind::Data)) {
          outcome.reply.length = fault->answerLength;
        }
        if (action == SimDfuFaultAction::PatchAnswer && outcome.reply.kind == Reply::Kind::Data &&
            fault->patchOffset < outcome.reply.data.size()) {
          outcome.reply.data[fault->patchOffset] = fault->patchValue;
        }
        if (action == SimDfuFaultAction::LongAnswer &&
            (outcome.reply.kind == Reply::Kind::Ack || outcome.reply.kind == Reply::Kind::Data)) {
          outcome.reply.kind = Reply::Kind::Overrun;
        }
        if (action == SimDfuFaultAction::Delay) {
          outcome.replyDelay = fault->delay;
        }
      }
    }
  }
  StartTimers(outcome.timers);
  if (unplugId) {
    mBus.Detach(*unplugId);
  }
  if (outcome.replyDelay.count() > 0) {
    SendLater(request, outcome.reply, outcome.replyDelay);
  } else {
    Send(request, outcome.reply);
  }
}

bool SimDfuDevice::InterceptStandardRequest(SimDevice& device, const SimControlRequestPtr& request,
                                            std::function<void()> answer) {
  const SimSetupPacket& setup = request->Setup();
  std::optional<uint64_t> unplugId;
  Reply reply;
  std::chrono::milliseconds delay{0};
  {
    std::lock_guard<std::mutex> lock(mMutex);
    const uint8_t dfuInterface =
        mMode == SimRunMode::Application ? mConfig.applicationDfuInterface : mConfig.bootloaderDfuInterface;
    if (mDeviceId != device.Id() || setup.bmRequestType != kStandardOut || setup.bRequest != kSetInterface ||
        (setup.wIndex & 0xFF) != dfuInterface) {
      return false;
    }
    const SimDfuFault* fault = MatchFault(SimDfuRequestKind::SetInterface, std::nullopt);
    const size_t alternateSettings = mMode == SimRunMode::Application ? 1 : mConfig.targets.size();
    if (!fault && !mAlternateSettings.Refuses(alternateSettings)) {
      return false;
    }
    switch (fault ? fault->action : SimDfuFaultAction::Stall) {
      case SimDfuFaultAction::Stall:
        reply.kind = Reply::Kind::Stall;
        break;
      case SimDfuFaultAction::NoAnswer:
        reply.kind = Reply::Kind::None;
        break;
      case SimDfuFaultAction::LongAnswer:
        reply.kind = Reply::Kind::Overrun;
        break;
      case SimDfuFaultAction::Unplug:
        reply.kind = Reply::Kind::Gone;
        unplugId = mDeviceId;
        ++mBusEpoch;
        mLeaving = false;
        break;
      case SimDfuFaultAction::DfuError:
        // The bootloader takes the refused selection as a failed request.
        if (mMode == SimRunMode::Bootloader) {
          mState = dfu::State::dfuERROR;
          mStatus = fault->bStatus;
          ResetDownload();
        }
        reply.kind = Reply::Kind::Stall;
        break;
      case SimDfuFaultAction::Delay:
        delay = fault->delay;
        reply.kind = Reply::Kind::None;
        break;
      default:
        return false;  // nothing of the others applies to a request without data
    }
  }
  if (unplugId) {
    mBus.Detach(*unplugId);
  }
  if (delay.count() > 0) {
    mBus.Scheduler().ScheduleAfter(delay, std::move(answer));
  } else {
    Send(request, reply);
  }
  return true;
}

SimDfuDevice::Outcome SimDfuDevice::Dispatch(SimDfuRequestKind kind, const SimControlRequest& request) {
  return mMode == SimRunMode::Application ? Application(kind) : Bootloader(kind, request);
}

SimDfuDevice::Outcome SimDfuDevice::Application(SimDfuRequestKind kind) {
  Outcome outcome;
  switch (kind) {
    case SimDfuRequestKind::GetStatus:
      outcome.reply = {Reply::Kind::Data, {dfu::kOK, 0, 0, 0, static_cast<uint8_t>(mState), 0}, std::nullopt};
      return outcome;
    case SimDfuRequestKind::GetState:
      outcome.reply = {Reply::Kind::Data, {static_cast<uint8_t>(mState)}, std::nullopt};
      return outcome;
    case SimDfuRequestKind::Detach:
    case SimDfuRequestKind::XmosToBootloader:
      if (mState != dfu::State::appIDLE) {
        break;
      }
      mState = dfu::State::appDETACH;
      return Leave(SimRunMode::Bootloader, kind == SimDfuRequestKind::Detach ? DetachDelay() : ResetDelay());
    case SimDfuRequestKind::XmosToApplication:
      if (mState != dfu::State::appIDLE) {
        break;
      }
      outcome.reply.kind = Reply::Kind::Ack;  // runs its application already
      return outcome;
    default:
      break;
  }
  outcome.reply.kind = Reply::Kind::Stall;
  return outcome;
}

SimDfuDevice::Outcome SimDfuDevice::Bootloader(SimDfuRequestKind kind, const SimControlRequest& request) {
  Outcome outcome;
  if (kind == SimDfuRequestKind::GetStatus && mTiming.RefusesStatus(mBus.Scheduler().Now())) {
    // Still busy with the work it announced: the request is not taken at all.
    outcome.reply.kind = Reply::Kind::Stall;
    return outcome;
  }
  if (mState == dfu::State::dfuMANIFEST_WAIT_RESET) {
    // Waits for its reset. A device that stays in this state still tells so when asked; one
    // that is about to reset itself answers nothing (or holds the status request it got).
    if (kind == SimDfuRequestKind::GetStatus && mManifestation.AnswersStatusWhileWaiting()) {
      return StatusAnswer(false);
    }
    if (kind == SimDfuRequestKind::GetState && mManifestation.AnswersStatusWhileWaiting()) {
      outcome.reply = {Reply::Kind::Data, {static_cast<uint8_t>(mState)}, std::nullopt};
      return outcome;
    }
    outcome.reply.kind = kind == SimDfuRequestKind::GetStatus && mManifestation.HoldsStatusWhileBusy()
                             ? Reply::Kind::None
                             : Reply::Kind::Stall;
    return outcome;
  }
  if (kind == SimDfuRequestKind::GetStatus) {
    return GetStatus();
  }
  if (kind == SimDfuRequestKind::GetState) {
    outcome.reply = {Reply::Kind::Data, {static_cast<uint8_t>(mState)}, std::nullopt};
    return outcome;
  }
  if (kind == SimDfuRequestKind::XmosToApplication) {
    // A reset into the application leaves whatever the bootloader was doing.
    ResetDownload();
    return Leave(SimRunMode::Application, ResetDelay());
  }
  switch (mState) {
    case dfu::State::dfuIDLE:
      switch (kind) {
        case SimDfuRequestKind::Dnload:
          return Dnload(request);
        case SimDfuRequestKind::Abort:
        case SimDfuRequestKind::XmosToBootloader:
          outcome.reply.kind = Reply::Kind::Ack;
          return outcome;
        case SimDfuRequestKind::Detach:
          if (mDetachPolicy.RefusesDetachInBootloader()) {
            // DFU_DETACH is a request of the application; the bootloader takes it as a wrong one.
            return Fail(dfu::errSTALLEDPKT);
          }
          // The bootloader takes a detach as the way back into the application.
          return Leave(SimRunMode::Application, DetachDelay());
        case SimDfuRequestKind::XmosSelectImage:
          if (request.Setup().wValue >= mConfig.targets.size()) {
            return Fail(dfu::errTARGET);
          }
          mTarget = static_cast<uint8_t>(request.Setup().wValue);
          outcome.reply.kind = Reply::Kind::Ack;
          return outcome;
        case SimDfuRequestKind::StoreHeader:
        case SimDfuRequestKind::CheckCompatibility:
        case SimDfuRequestKind::GetUnlockToken:
        case SimDfuRequestKind::UnlockTarget:
          return PrivateRequest(kind, request);
        default:
          return Fail(dfu::errSTALLEDPKT);
      }
    case dfu::State::dfuDNLOAD_IDLE:
      if (kind == SimDfuRequestKind::Dnload) {
        return Dnload(request);
      }
      if (kind == SimDfuRequestKind::Abort) {
        ResetDownload();
        mState = dfu::State::dfuIDLE;
        outcome.reply.kind = Reply::Kind::Ack;
        return outcome;
      }
      return Fail(dfu::errSTALLEDPKT);
    case dfu::State::dfuERROR:
      if (kind == SimDfuRequestKind::ClrStatus) {
        mState = dfu::State::dfuIDLE;
        mStatus = dfu::kOK;
        outcome.reply.kind = Reply::Kind::Ack;
        return outcome;
      }
      outcome.reply.kind = Reply::Kind::Stall;  // stays in dfuERROR with its status
      return outcome;
    case dfu::State::dfuMANIFEST:
      // Busy committing the image: a request is refused, but the manifestation goes on (a
      // device that is not manifestation tolerant is left alone by the host from here on, and
      // abandoning the commit would leave it without firmware).
      outcome.reply.kind = Reply::Kind::Stall;
      return outcome;
    default:
      // dfuDNLOAD_SYNC, dfuDNBUSY, dfuMANIFEST_SYNC: only the status requests.
      return Fail(dfu::errSTALLEDPKT);
  }
}

SimDfuDevice::Outcome SimDfuDevice::Fail(uint8_t status) {
  mState = dfu::State::dfuERROR;
  mStatus = status;
  ResetDownload();
  Outcome outcome;
  outcome.reply.kind = Reply::Kind::Stall;
  return outcome;
}

SimDfuDevice::Outcome SimDfuDevice::Dnload(const SimControlRequest& request) {
  const SimSetupPacket& setup = request.Setup();
  Outcome outcome;
  if ((mConfig.bmAttributes & dfu::kCanDnload) == 0) {
    return Fail(dfu::errSTALLEDPKT);
  }
  if (setup.wLength == 0) {
    // The closing zero-length block ends a download; it cannot start one.
    if (mState != dfu::State::dfuDNLOAD_IDLE) {
      return Fail(dfu::errSTALLEDPKT);
    }
    mState = dfu::State::dfuMANIFEST_SYNC;
    mSyncAnswersLeft = mConfig.syncAnswers;
    mManifestDone = false;
    mClosingBlock = setup.wValue;
    outcome.reply.kind = Reply::Kind::Ack;
    return outcome;
  }
  if (setup.wLength > mConfig.wTransferSize || request.OutData().size() != setup.wLength) {
    return Fail(dfu::errSTALLEDPKT);
  }
  if (mTarget >= mConfig.targets.size()) {
    return Fail(dfu::errTARGET);
  }
  if (mConfig.targets[mTarget].locked && mUnlocked.count(mTarget) == 0) {
    return Fail(dfu::errSTALLEDPKT);
  }
  const uint16_t expected =
      mState == dfu::State::dfuIDLE || !mLastBlock ? 0 : static_cast<uint16_t>((*mLastBlock + 1) & 0xFFFF);
  if (setup.wValue != expected) {
    return Fail(dfu::errADDRESS);
  }
  if (mState == dfu::State::dfuIDLE) {
    mPending.clear();
  }
  mPending.insert(mPending.end(), request.OutData().begin(), request.OutData().end());
  mLastBlock = setup.wValue;
  mWriteDone = false;
  mSyncAnswersLeft = mConfig.syncAnswers;
  mState = dfu::State::dfuDNLOAD_SYNC;
  outcome.reply.kind = Reply::Kind::Ack;
  return outcome;
}

SimDfuDevice::Outcome SimDfuDevice::GetStatus() {
  std::vector<Timer> timers;
  bool stillBusy = false;
  switch (mState) {
    case dfu::State::dfuDNLOAD_SYNC:
      if (mStuckSync) {
        break;
      }
      if (mSyncAnswersLeft > 0) {
        --mSyncAnswersLeft;
        break;
      }
      if (mWriteDone) {
        mState = dfu::State::dfuDNLOAD_IDLE;
      } else if (mStuckBusy) {
        mState = dfu::State::dfuDNBUSY;
      } else if (const std::chrono::microseconds write = mTiming.WorkTime(mConfig.flashWritePerBlock);
                 write.count() == 0) {
        mWriteDone = true;
        mState = dfu::State::dfuDNLOAD_IDLE;
      } else {
        // The write starts now; until it is done the device is busy.
        mState = dfu::State::dfuDNBUSY;
        timers.push_back(Timer{write, &SimDfuDevice::WriteDone, mWorkEpoch});
      }
      break;
    case dfu::State::dfuMANIFEST_SYNC: {
      if (mSyncAnswersLeft > 0) {
        --mSyncAnswersLeft;
        break;
      }
      if (mManifestDone) {
        mManifestDone = false;
        mState = dfu::State::dfuIDLE;
        break;
      }
      mState = dfu::State::dfuMANIFEST;
      const std::chrono::microseconds manifestation = mTiming.WorkTime(mConfig.manifestationTime);
      if (manifestation.count() == 0) {
        // Reported as dfuMANIFEST; done by the time the host polls again.
        Outcome outcome = StatusAnswer(false);
        outcome.timers = CompleteManifestation();
        if (mManifestation.HoldsStatusWhileBusy()) {
          outcome.reply = Reply{Reply::Kind::None, {}, std::nullopt};  // cut off by the reset
        }
        return outcome;
      }
      timers.push_back(Timer{manifestation, &SimDfuDevice::ManifestationDone, mWorkEpoch});
      if (mManifestation.HoldsStatusWhileBusy()) {
        Outcome outcome;
        outcome.reply.kind = Reply::Kind::None;
        outcome.timers = timers;
        return outcome;
      }
      break;
    }
    case dfu::State::dfuDNBUSY:
    case dfu::State::dfuMANIFEST:
      // Polled while the work it announced goes on.
      stillBusy = true;
      if (mState == dfu::State::dfuMANIFEST && mManifestation.HoldsStatusWhileBusy()) {
        Outcome outcome;
        outcome.reply.kind = Reply::Kind::None;
        return outcome;
      }
      break;
    default:
      break;  // every other state reports itself
  }
  Outcome outcome = StatusAnswer(stillBusy);
  outcome.timers = std::move(timers);
  return outcome;
}

SimDfuDevice::Outcome SimDfuDevice::StatusAnswer(bool stillBusy) {
  const uint32_t poll = mTiming.PollTimeout(stillBusy);
  mTiming.Answered(mState, poll, mBus.Scheduler().Now());
  Outcome outcome;
  outcome.reply = {Reply::Kind::Data, StatusRecord(poll), std::nullopt};
  return outcome;
}

std::vector<uint8_t> SimDfuDevice::StatusRecord(uint32_t pollMs) const {
  const uint32_t poll = pollMs & 0xFFFFFF;
  return {mStatus,
          static_cast<uint8_t>(poll & 0xFF),
          static_cast<uint8_t>((poll >> 8) & 0xFF),
          static_cast<uint8_t>((poll >> 16) & 0xFF),
          static_cast<uint8_t>(mState),
          0};
}

void SimDfuDevice::WriteDone(uint64_t epoch) {
  std::lock_guard<std::mutex> lock(mMutex);
  if (epoch != mWorkEpoch || mState != dfu::State::dfuDNBUSY || mStuckBusy) {
    return;
  }
  mWriteDone = true;
  mState = dfu::State::dfuDNLOAD_SYNC;
  // A device that reports the state in which a request arrived still says dfuDNLOAD_SYNC.
  mSyncAnswersLeft = mTiming.SyncAnswersAfterBusy();
}

void SimDfuDevice::ManifestationDone(uint64_t epoch) {
  std::vector<Timer> timers;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (epoch != mWorkEpoch || mState != dfu::State::dfuMANIFEST) {
      return;
    }
    timers = CompleteManifestation();
  }
  StartTimers(timers);
}

std::vector<SimDfuDevice::Timer> SimDfuDevice::CompleteManifestation() {
  mFirmware[mTarget] = std::move(mPending);
  mPending.clear();
  ++mManifestations;
  if (mConfig.firmwareCommitted) {
    mConfig.firmwareCommitted(mTarget, mFirmware[mTarget]);
  }
  switch (mManifestation.AtCompletion()) {
    case SimDfuManifestationPolicy::End::BackToIdle:
      mManifestDone = true;
      mState = dfu::State::dfuMANIFEST_SYNC;
      return {};
    case SimDfuManifestationPolicy::End::WaitForReset:
      mState = dfu::State::dfuMANIFEST_WAIT_RESET;
      return {};
    case SimDfuManifestationPolicy::End::ResetSelf:
    case SimDfuManifestationPolicy::End::LeaveDuringStatus:
      break;
  }
  // The device resets itself into the new application.
  mState = dfu::State::dfuMANIFEST_WAIT_RESET;
  return Leave(SimRunMode::Application, ResetDelay()).timers;
}

void SimDfuDevice::ResetDownload() {
  mPending.clear();
  mLastBlock.reset();
  mClosingBlock.reset();
  mWriteDone = true;
  mStuckBusy = false;
  mStuckSync = false;
  mSyncAnswersLeft = 0;
  mManifestDone = false;
  mTiming.Forget();
  ++mWorkEpoch;
}

void SimDfuDevice::StartTimers(const std::vector<Timer>& timers) {
  for (const Timer& timer : timers) {
    std::weak_ptr<SimDfuDevice> weak = weak_from_this();
    auto step = timer.step;
    const uint64_t epoch = timer.epoch;
    mBus.Scheduler().ScheduleAfter(timer.delay, [weak, step, epoch] {
      if (const std::shared_ptr<SimDfuDevice> self = weak.lock()) {
        ((*self).*step)(epoch);
      }
    });
  }
}

void SimDfuDevice::Send(const SimControlRequestPtr& request, const Reply& reply) {
  switch (reply.kind) {
    case Reply::Kind::Ack:
      if (reply.length) {
        // Acknowledges a chosen number of bytes of the data stage.
        request->Complete(std::vector<uint8_t>(*reply.length));
      } else if (request->Setup().IsDeviceToHost()) {
        request->Complete({});
      } else {
        request->CompleteOut();
      }
      break;
    case Reply::Kind::Data:
      if (reply.length) {
        std::vector<uint8_t> data = reply.data;
        data.resize(*reply.length);
        request->Complete(data);
      } else {
        request->Complete(reply.data);
      }
      break;
    case Reply::Kind::Stall:
      request->Stall();
      break;
    case Reply::Kind::Gone:
      request->Finish(SimTransferStatus::DeviceGone);
      break;
    case Reply::Kind::Overrun:
      request->Overrun();
      break;
    case Reply::Kind::None:
      break;
  }
}

// ---- observation ----

SimRunMode SimDfuDevice::RunMode() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mMode;
}

dfu::State SimDfuDevice::State() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mState;
}

uint8_t SimDfuDevice::Status() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mStatus;
}

bool SimDfuDevice::IsOnBus() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mDeviceId.has_value();
}

SimDevicePtr SimDfuDevice::CurrentDevice() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mDevice;
}

uint8_t SimDfuDevice::SelectedTarget() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mTarget;
}

std::optional<std::vector<uint8_t>> SimDfuDevice::Firmware(uint8_t target) const {
  std::lock_guard<std::mutex> lock(mMutex);
  const auto it = mFirmware.find(target);
  if (it == mFirmware.end()) {
    return std::nullopt;
  }
  return it->second;
}

uint32_t SimDfuDevice::ManifestationCount() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mManifestations;
}

std::vector<uint8_t> SimDfuDevice::StoredHeader() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mHeader;
}

bool SimDfuDevice::IsLocked(uint8_t target) const {
  std::lock_guard<std::mutex> lock(mMutex);
  return target < mConfig.targets.size() && mConfig.targets[target].locked && mUnlocked.count(target) == 0;
}

void SimDfuDevice::AddFault(const SimDfuFault& fault) {
  std::lock_guard<std::mutex> lock(mMutex);
  mFaults.push_back(FaultSlot{fault});
}

uint32_t SimDfuDevice::FaultsFired() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mFaultsFired;
}

bool SimDfuDevice::LeaveInState(dfu::State state, uint8_t status) {
  std::lock_guard<std::mutex> lock(mMutex);
  if (!mDeviceId || mMode != SimRunMode::Bootloader) {
    return false;
  }
  if (state == dfu::State::dfuERROR) {
    ResetDownload();
    mState = state;
    mStatus = status;
    return true;
  }
  if (state == dfu::State::dfuDNLOAD_IDLE) {
    ResetDownload();
    mPending.assign(mConfig.wTransferSize, 0xA5);
    mLastBlock = 0;
    mState = state;
    mStatus = dfu::kOK;
    return true;
  }
  return false;
}

void SimDfuDevice::SendLater(const SimControlRequestPtr& request, const Reply& reply, std::chrono::milliseconds delay) {
  mBus.Scheduler().ScheduleAfter(delay, [request, reply] { Send(request, reply); });
}

}  // namespace plendrik::sim
