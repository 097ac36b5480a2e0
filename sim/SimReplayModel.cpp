// Replaying one recorded device. Each request is decided under the model's lock; the answer is
// sent, the bus called and delayed work scheduled only after the lock is released, because each
// of those may re-enter the model (the host's next request, OnAttached, OnDetached).
#include "sim/SimReplayModel.h"

#include <algorithm>

#include "diag/QXDebugPrintf.h"
#include "sim/SimDfuProtocol.h"
#include "sim/VirtualUsbBus.h"

namespace plendrik::sim {

namespace {

constexpr uint8_t kStandardIn = 0x80;
constexpr uint8_t kStandardOut = 0x01;
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kSetInterface = 0x0B;

// The Windows error of a device that has left the bus, as recorded.
constexpr uint32_t kErrorDeviceNotConnected = 1167;

const char* RequestName(const SimSetupPacket& s) {
  if (s.bmRequestType == dfu::kClassOut) {
    switch (s.bRequest) {
      case dfu::kDetach:
        return "DFU_DETACH";
      case dfu::kDnload:
        return "DFU_DNLOAD";
      case dfu::kClrStatus:
        return "DFU_CLRSTATUS";
      case dfu::kAbort:
        return "DFU_ABORT";
      case dfu::kXmosToBootloader:
        return "XMOS_DFU_RESETINTODFU";
      case dfu::kXmosToApplication:
        return "XMOS_DFU_RESETFROMDFU";
      case dfu::kXmosSelectImage:
        return "XMOS_DFU_SELECTIMAGE";
      default:
        break;
    }
  } else if (s.bmRequestType == dfu::kClassIn) {
    switch (s.bRequest) {
      case dfu::kUpload:
        return "DFU_UPLOAD";
      case dfu::kGetStatus:
        return "DFU_GETSTATUS";
      case dfu::kGetState:
        return "DFU_GETSTATE";
      default:
        break;
    }
  } else if (s.bmRequestType == dfu::kVendorOut || s.bmRequestType == dfu::kVendorIn) {
    switch (s.bRequest) {
      case dfu::kPrivStoreHeader:
        return "STORE_IMAGE_METADATA_HEADER";
      case dfu::kPrivCheckCompatibility:
        return "CHECK_IMAGE_COMPATIBILITY";
      case dfu::kPrivGetUnlockToken:
        return "GET_UNLOCK_TOKEN";
      case dfu::kPrivUnlockTarget:
        return "UNLOCK_TARGET";
      default:
        break;
    }
  }
  return "request";
}

std::string DescribeOut(size_t length, uint32_t crc) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(crc >> 24), static_cast<uint8_t>(crc >> 16),
                            static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)};
  return " out " + std::to_string(length) + " bytes crc32 " + SimHex(bytes, sizeof(bytes));
}

std::string Describe(const SimSetupPacket& setup, const std::vector<uint8_t>& out) {
  std::string text = std::string(RequestName(setup)) + " setup " + SimSetupHex(setup);
  if (!out.empty()) {
    text += DescribeOut(out.size(), SimCrc32(out.data(), out.size()));
  }
  return text;
}

std::string Describe(const SimRecordedStep& step) {
  std::string text;
  switch (step.kind) {
    case SimRecordedStep::Kind::Reset:
      return "a USB reset";
    case SimRecordedStep::Kind::Removal:
      if (!step.refused) {
        return "the device's removal";
      }
      text = "the device's removal (refusing ";
      break;
    case SimRecordedStep::Kind::Arrival:
      return "the device's arrival";
    case SimRecordedStep::Kind::Transfer:
      break;
  }
  text += std::string(RequestName(step.setup)) + " setup " + SimSetupHex(step.setup);
  if (step.out && !step.out->empty()) {
    text += DescribeOut(step.out->size(), SimCrc32(step.out->data(), step.out->size()));
  } else if (step.outLength) {
    text += DescribeOut(*step.outLength, step.outCrc32.value_or(0));
  }
  return step.kind == SimRecordedStep::Kind::Removal ? text + ")" : text;
}

bool SameSetup(const SimSetupPacket& a, const SimSetupPacket& b) {
  return a.bmRequestType == b.bmRequestType && a.bRequest == b.bRequest && a.wValue == b.wValue &&
         a.wIndex == b.wIndex && a.wLength == b.wLength;
}

bool SameOut(const SimRecordedStep& step, const std::vector<uint8_t>& out) {
  if (step.out) {
    return *step.out == out;
  }
  if (step.outLength) {
    return out.size() == *step.outLength && SimCrc32(out.data(), out.size()) == step.outCrc32.value_or(0);
  }
  return out.empty();
}

bool IsDnloadData(const SimSetupPacket& s) {
  return s.bmRequestType == dfu::kClassOut && s.bRequest == dfu::kDnload && s.wLength > 0;
}

bool IsDownloadEnd(const SimSetupPacket& s) {
  return s.bmRequestType == dfu::kClassOut && s.bRequest == dfu::kDnload && s.wLength == 0;
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

}  // namespace

std::string SimReplayModel::Check(const SimRecording& recording, const std::string& label) {
  const SimRecordedDevice* device = recording.FindDevice(label);
  if (!device) {
    return recording.file + ": " +
           (label.empty() ? "the recording has no device" : "the recording has no device '" + label + "'");
  }
  if (device->steps.empty() || device->steps.front().kind != SimRecordedStep::Kind::Arrival) {
    return recording.file + ": device '" + device->label + "' has no arrival before its first request";
  }
  return {};
}

std::shared_ptr<SimReplayModel> SimReplayModel::Create(SimBusAccess& bus, std::shared_ptr<const SimRecording> recording,
                                                       const std::string& label, SimReplayLatency latency,
                                                       std::string* error) {
  const std::string why = recording ? Check(*recording, label) : "no recording";
  if (!why.empty()) {
    if (error) *error = why;
    return nullptr;
  }
  const SimRecordedDevice* device = recording->FindDevice(label);
  return std::shared_ptr<SimReplayModel>(new SimReplayModel(bus, std::move(recording), device, latency));
}

SimReplayModel::SimReplayModel(SimBusAccess& bus, std::shared_ptr<const SimRecording> recording,
                               const SimRecordedDevice* device, SimReplayLatency latency)
    : mBus(bus), mRecording(std::move(recording)), mDevice(device), mLatency(latency) {}

std::shared_ptr<SimReplayModel> SimReplayModel::Of(const SimDevicePtr& device) {
  return device ? std::dynamic_pointer_cast<SimReplayModel>(device->Model()) : nullptr;
}

bool SimReplayModel::Plug() {
  size_t identity = 0;
  uint64_t epoch = 0;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    epoch = mEpoch;
    if (mNext != 0 || mStopped) {
      return false;
    }
    const SimRecordedStep& first = mDevice->steps.front();
    mNext = 1;
    mLastT = first.tEnd;
    identity = first.identity;
    mIdentity = identity;
  }
  AttachIdentity(identity, epoch);
  ContinueBusSteps();
  return true;
}

bool SimReplayModel::Unplug() {
  std::optional<uint64_t> id;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mStopped = true;
    ++mEpoch;
    id = mDeviceId;
  }
  return id && mBus.Detach(*id);
}

std::optional<SimReplayMismatch> SimReplayModel::Mismatch() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mMismatch;
}

bool SimReplayModel::Finished() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return !mMismatch && mNext >= mDevice->steps.size();
}

std::vector<uint8_t> SimReplayModel::ReceivedImage() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mImage;
}

SimDevicePtr SimReplayModel::CurrentDevice() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mBusDevice;
}

void SimReplayModel::OnDownloadEnd(std::function<void(const std::vector<uint8_t>& image)> handler) {
  std::lock_guard<std::mutex> lock(mMutex);
  mDownloadEnd = std::move(handler);
}

void SimReplayModel::AttachIdentity(size_t identity, uint64_t epoch) {
  const SimRecordedIdentity& recorded = mDevice->identities[identity];
  const SimDeviceSpec spec = recorded.Spec();
  SimDevicePtr device = mBus.Attach(spec, shared_from_this());
  if (!device) {
    return;
  }
  bool unplugged = false;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    unplugged = epoch != mEpoch || mStopped;
    if (!unplugged && mDeviceId == device->Id()) {
      mBusDevice = device;
    }
  }
  if (unplugged) {
    // Unplugged while the bus plugged it in: the unplug wins.
    mBus.Detach(device->Id());
    return;
  }
  // The bus lists the device under the recorded identities, whichever stack recorded them; any
  // difference means the host would look for the device somewhere else than it did when recorded.
  const std::vector<SimDeviceListEntry> entries = BuildSimDeviceListEntries(device->Id(), spec);
  for (const SimRecordedNode& node : recorded.nodes) {
    const bool listed = std::any_of(entries.begin(), entries.end(), [&](const SimDeviceListEntry& entry) {
      return EqualsIgnoringCase(SimNarrow(entry.interfacePath), node.path);
    });
    if (!listed) {
      const std::string line = "replay: " + mRecording->file + ": record " + std::to_string(recorded.record) +
                               ": the bus lists the device under another path than " + node.path;
      QXDebugPrintf("%s: WARNING: %s\n", QXGetModuleName(), line.c_str());
    }
  }
}

std::chrono::microseconds SimReplayModel::Gap(int64_t from, int64_t to) const {
  if (mLatency == SimReplayLatency::Zero || to <= from) {
    return std::chrono::microseconds(0);
  }
  // Recorded times are not checked: the difference is taken unsigned, where it cannot overflow.
  const uint64_t difference = static_cast<uint64_t>(to) - static_cast<uint64_t>(from);
  const uint64_t most = static_cast<uint64_t>(std::chrono::microseconds(kMaxGap).count());
  return std::chrono::microseconds(static_cast<int64_t>(std::min(difference, most)));
}

void SimReplayModel::ContinueBusSteps() {
  std::chrono::microseconds gap{0};
  uint64_t epoch = 0;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mStopped || mMismatch || mBusStepDue) {
      return;
    }
    // The removal of a device that has left already (it went during a request) has nothing left
    // to do: it is played at once, so that the replay ends with the request that ended it.
    while (mNext < mDevice->steps.size() && mDevice->steps[mNext].kind == SimRecordedStep::Kind::Removal &&
           !mDeviceId) {
      mLastT = mDevice->steps[mNext++].tEnd;
    }
    if (mNext >= mDevice->steps.size()) {
      return;
    }
    const SimRecordedStep& step = mDevice->steps[mNext];
    if (step.kind != SimRecordedStep::Kind::Removal && step.kind != SimRecordedStep::Kind::Arrival) {
      return;
    }
    mBusStepDue = true;
    gap = Gap(mLastT, step.tStart);
    epoch = mEpoch;
  }
  std::weak_ptr<SimReplayModel> self = weak_from_this();
  mBus.Scheduler().ScheduleAfter(gap, [self, epoch] {
    if (const std::shared_ptr<SimReplayModel> model = self.lock()) {
      model->PlayBusStep(epoch);
    }
  });
}

void SimReplayModel::PlayBusStep(uint64_t epoch) {
  std::optional<uint64_t> leaving;
  std::optional<size_t> arriving;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (epoch != mEpoch || !mBusStepDue) {
      return;
    }
    mBusStepDue = false;
    const SimRecordedStep& step = mDevice->steps[mNext++];
    mLastT = step.tEnd;
    if (step.kind == SimRecordedStep::Kind::Arrival) {
      // One physical device is on the bus once: a new identity replaces the old one even when
      // the listing showed the new node before the old one vanished.
      leaving = mDeviceId;
      arriving = step.identity;
      mIdentity = step.identity;
    } else {
      const std::vector<SimRecordedNode>& nodes = mDevice->identities[mIdentity].nodes;
      const bool current = step.path.empty() || std::any_of(nodes.begin(), nodes.end(), [&](const SimRecordedNode& n) {
                             return EqualsIgnoringCase(n.path, step.path);
                           });
      if (current) {
        leaving = mDeviceId;
      }
    }
    if (leaving) {
      mLeaving = leaving;
    }
  }
  if (leaving) {
    mBus.Detach(*leaving);
  }
  if (arriving) {
    AttachIdentity(*arriving, epoch);
  }
  ContinueBusSteps();
}

void SimReplayModel::StopLocked(size_t recordNumber, const std::string& expected, const std::string& actual) {
  if (mMismatch) {
    return;
  }
  SimReplayMismatch mismatch;
  mismatch.recordNumber = recordNumber;
  mismatch.expected = expected;
  mismatch.actual = actual;
  mismatch.text = recordNumber == 0 ? "replay: " + mRecording->file + ": device " + mDevice->label + ": " + expected +
                                          ", got " + actual
                                    : "replay: " + mRecording->file + ": record " + std::to_string(recordNumber) +
                                          ": expected " + expected + ", got " + actual;
  mMismatch = mismatch;
  QXDebugPrintf("%s: ERROR: %s\n", QXGetModuleName(), mismatch.text.c_str());
}

void SimReplayModel::PlaceImageLocked(const SimRecordedStep& step, const std::vector<uint8_t>& data) {
  const SimSetupPacket& s = step.setup;
  if (s.bmRequestType == dfu::kClassOut &&
      (s.bRequest == dfu::kAbort || (s.bRequest == dfu::kDnload && s.wLength == 0))) {
    mImageOffset = 0;
    return;
  }
  if (!IsDnloadData(s)) {
    return;
  }
  const uint64_t offset = step.offset.value_or(mImageOffset);
  // A recorded offset that no image could have is not followed (a damaged recording must not
  // make the model allocate without bound).
  if (offset > kSimRecordingMaxImageOffset) {
    return;
  }
  if (mImage.size() < offset + data.size()) {
    mImage.resize(static_cast<size_t>(offset + data.size()));
  }
  std::copy(data.begin(), data.end(), mImage.begin() + static_cast<std::ptrdiff_t>(offset));
  mImageOffset = offset + data.size();
}

SimReplayModel::Reply SimReplayModel::ReplyFor(uint32_t result, bool noAnswer, const std::vector<uint8_t>& in,
                                               std::optional<uint32_t> transferred, bool deviceToHost,
                                               uint16_t wLength) {
  Reply reply;
  if (noAnswer) {
    reply.answer = Answer::None;
  } else if (result == 0 && deviceToHost) {
    reply.answer = Answer::Data;
    reply.data = in;
  } else if (result == 0) {
    reply.answer = Answer::Ack;
    if (transferred && *transferred < wLength) {
      reply.outLength = *transferred;
    }
  } else if (result == kErrorDeviceNotConnected) {
    reply.answer = Answer::Gone;
  } else {
    // A stall (31) or any other failure the host saw: the bus can tell it only as a stall.
    reply.answer = Answer::Stall;
  }
  return reply;
}

void SimReplayModel::Send(const SimControlRequestPtr& request, const Reply& reply) {
  switch (reply.answer) {
    case Answer::Data:
      request->Complete(reply.data);
      break;
    case Answer::Ack:
      if (reply.outLength) {
        request->Complete(std::vector<uint8_t>(*reply.outLength));
      } else {
        request->CompleteOut();
      }
      break;
    case Answer::Stall:
      request->Stall();
      break;
    case Answer::Gone:
      request->Finish(SimTransferStatus::DeviceGone);
      break;
    case Answer::None:
      break;  // the host's time-out and cancellation end it
  }
}

void SimReplayModel::HandleRequest(SimDevice& device, const SimControlRequestPtr& request) {
  const SimSetupPacket& setup = request->Setup();
  Reply reply;
  std::chrono::microseconds delay{0};
  std::optional<uint64_t> unplug;
  std::function<void(const std::vector<uint8_t>&)> downloadEnd;
  std::vector<uint8_t> image;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mDeviceId != device.Id()) {
      reply.answer = Answer::Gone;
    } else if (mLeaving == device.Id()) {
      reply.answer = Answer::None;  // the removal under way fails it
    } else if (mMismatch || mStopped) {
      reply.answer = Answer::Stall;
    } else if (mNext >= mDevice->steps.size()) {
      StopLocked(0, "the recording has no further request", Describe(setup, request->OutData()));
      reply.answer = Answer::Stall;
    } else if (const SimRecordedStep& step = mDevice->steps[mNext];
               step.kind == SimRecordedStep::Kind::Removal && step.refused && SameSetup(step.setup, setup) &&
               SameOut(step, request->OutData())) {
      // The request the system refused because the device had gone: with the host's timing it
      // may come just before the removal, which fails it.
      reply.answer = Answer::None;
    } else if (step.kind == SimRecordedStep::Kind::Removal || step.kind == SimRecordedStep::Kind::Arrival) {
      // The recording shows no such request before the device left or arrived again.
      StopLocked(step.record, Describe(step), Describe(setup, request->OutData()));
      reply.answer = Answer::Stall;
    } else if (step.kind != SimRecordedStep::Kind::Transfer || !SameSetup(step.setup, setup) ||
               !SameOut(step, request->OutData())) {
      StopLocked(step.record, Describe(step), Describe(setup, request->OutData()));
      reply.answer = Answer::Stall;
    } else {
      ++mNext;
      mLastT = step.tEnd;
      PlaceImageLocked(step, request->OutData());
      reply = ReplyFor(step.result, step.noAnswer, step.in, step.transferred, setup.IsDeviceToHost(), setup.wLength);
      if (reply.answer == Answer::Ack && mDownloadEnd && IsDownloadEnd(setup)) {
        downloadEnd = mDownloadEnd;
        image = mImage;
      }
      if (reply.answer == Answer::Gone) {
        unplug = mDeviceId;
        mLeaving = mDeviceId;
      } else if (reply.answer != Answer::None) {
        delay = Gap(step.tStart, step.tEnd);
      }
    }
  }
  if (unplug) {
    mBus.Detach(*unplug);  // fails the request in flight: the device has gone
  }
  if (downloadEnd) {
    downloadEnd(image);
  }
  if (delay.count() == 0) {
    Send(request, reply);
    ContinueBusSteps();
    return;
  }
  std::weak_ptr<SimReplayModel> self = weak_from_this();
  mBus.Scheduler().ScheduleAfter(delay, [self, request, reply] {
    Send(request, reply);
    if (const std::shared_ptr<SimReplayModel> model = self.lock()) {
      model->ContinueBusSteps();
    }
  });
}

bool SimReplayModel::InterceptStandardRequest(SimDevice& device, const SimControlRequestPtr& request,
                                              std::function<void()> answer) {
  (void)answer;
  const SimSetupPacket& setup = request->Setup();
  const bool getDescriptor = setup.bmRequestType == kStandardIn && setup.bRequest == kGetDescriptor;
  const bool setInterface = setup.bmRequestType == kStandardOut && setup.bRequest == kSetInterface;
  Reply reply;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mDeviceId != device.Id() || (!getDescriptor && !setInterface)) {
      return false;
    }
    if (mMismatch) {
      reply.answer = Answer::Stall;
    } else {
      // Matched by setup packet among the answers of the identity on the bus, not by order
      // with other requests; the answers to one setup packet come in recorded order (a read that
      // timed out, then its retry), the last one again once all have been given.
      const SimRecordedIdentity& identity = mDevice->identities[mIdentity];
      std::vector<const SimRecordedStandard*> answers;
      for (const SimRecordedStandard& candidate : identity.standard) {
        if (SameSetup(candidate.setup, setup)) {
          answers.push_back(&candidate);
        }
      }
      if (answers.empty() && setInterface) {
        for (const auto& [alt, candidate] : identity.altSettings) {
          if (alt == setup.wValue) {
            answers.push_back(&candidate);
          }
        }
      }
      if (answers.empty()) {
        return false;  // answered from the recorded descriptors
      }
      size_t& given = mStandardGiven[{mIdentity, SimSetupHex(setup)}];
      const SimRecordedStandard* found = answers[std::min(given, answers.size() - 1)];
      given = std::min(given + 1, answers.size());
      reply = ReplyFor(found->result, found->noAnswer, found->in, std::nullopt, setup.IsDeviceToHost(), setup.wLength);
      if (reply.answer == Answer::Gone) {
        reply.answer = Answer::Stall;  // a descriptor read does not take the device off the bus
      }
    }
  }
  Send(request, reply);
  return true;
}

void SimReplayModel::OnAttached(SimDevice& device) {
  // Also a device the bus plugs in again by itself after a reset the model left to it.
  SimDevicePtr attached = device.weak_from_this().lock();
  std::lock_guard<std::mutex> lock(mMutex);
  mDeviceId = device.Id();
  mBusDevice = std::move(attached);
}

void SimReplayModel::OnDetached(SimDevice& device) {
  std::lock_guard<std::mutex> lock(mMutex);
  if (mLeaving == device.Id()) {
    mLeaving.reset();
  }
  if (mDeviceId == device.Id()) {
    mDeviceId.reset();
    mBusDevice.reset();
  }
}

bool SimReplayModel::OnUsbReset(SimDevice& device) {
  bool takesIt = false;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mDeviceId != device.Id()) {
      return true;  // not this model's device any more: nothing of it to reset
    }
    if (mMismatch || mStopped) {
      return false;
    }
    if (mNext >= mDevice->steps.size() || mDevice->steps[mNext].kind != SimRecordedStep::Kind::Reset) {
      StopLocked(
          mNext < mDevice->steps.size() ? mDevice->steps[mNext].record : 0,
          mNext < mDevice->steps.size() ? Describe(mDevice->steps[mNext]) : "the recording has no further request",
          "a USB reset");
      return false;
    }
    mLastT = mDevice->steps[mNext].tEnd;
    ++mNext;
    // A reset after which the recording shows the device leaving is played from the recording;
    // otherwise the bus plugs the device in again as it is.
    takesIt = mNext < mDevice->steps.size() && (mDevice->steps[mNext].kind == SimRecordedStep::Kind::Removal ||
                                                mDevice->steps[mNext].kind == SimRecordedStep::Kind::Arrival);
  }
  if (takesIt) {
    ContinueBusSteps();
  }
  return takesIt;
}

}  // namespace plendrik::sim
