#include "fuzz/FuzzDeviceModel.h"

#include "sim/SimDevice.h"
#include "sim/SimDfuProtocol.h"

namespace plendrik::fuzz {

namespace {

using sim::dfu::State;

constexpr uint8_t St(State s) { return static_cast<uint8_t>(s); }

}  // namespace

FuzzDfuDevice::FuzzDfuDevice(std::vector<uint8_t> script, uint32_t pollTimeoutMs)
    : mScript(std::move(script)), mPollTimeoutMs(pollTimeoutMs) {}

void FuzzDfuDevice::ResetDelivery() {
  std::lock_guard<std::mutex> lock(mMutex);
  mPendingBlock.reset();
  mAcknowledged.clear();
  mClosed = false;
}

bool FuzzDfuDevice::DeliveredImage(std::vector<uint8_t>& image) const {
  image.clear();
  uint32_t expected = 0;
  for (const auto& [block, data] : mAcknowledged) {
    if (block != expected) {
      return false;
    }
    image.insert(image.end(), data.begin(), data.end());
    ++expected;
  }
  return mClosed;
}

FuzzAction FuzzDfuDevice::NextAction() {
  if (mScriptPos >= mScript.size()) {
    return FuzzAction::Sound;
  }
  const uint8_t a = mScript[mScriptPos++] & 7;
  if (a < 3) return FuzzAction::Sound;
  const auto action = static_cast<FuzzAction>(a);
  if (action == FuzzAction::Silent && ++mSilent > kMaxSilent) {
    return FuzzAction::Stall;
  }
  return action;
}

std::vector<uint8_t> FuzzDfuDevice::SoundAnswer(const sim::SimSetupPacket& setup) {
  namespace dfu = sim::dfu;
  switch (setup.bRequest) {
    case dfu::kGetStatus: {
      // With a poll time the device is busy once after each block and once in manifestation.
      uint8_t next = mState;
      if (mState == St(State::dfuDNLOAD_SYNC)) {
        next = mPollTimeoutMs != 0 ? St(State::dfuDNBUSY) : St(State::dfuDNLOAD_IDLE);
      } else if (mState == St(State::dfuDNBUSY)) {
        next = St(State::dfuDNLOAD_IDLE);
      } else if (mState == St(State::dfuMANIFEST_SYNC)) {
        next = mPollTimeoutMs != 0 ? St(State::dfuMANIFEST) : St(State::dfuIDLE);
      } else if (mState == St(State::dfuMANIFEST)) {
        next = St(State::dfuIDLE);
      }
      mState = next;
      const uint32_t poll = next == St(State::dfuDNBUSY) || next == St(State::dfuMANIFEST) ? mPollTimeoutMs : 0;
      return {dfu::kOK, static_cast<uint8_t>(poll), static_cast<uint8_t>(poll >> 8), static_cast<uint8_t>(poll >> 16),
              next, 0};
    }
    case dfu::kGetState:
      return {mState};
    case dfu::kPrivCheckCompatibility:
      return {0, 0, 0, 0};  // compatible
    case dfu::kPrivGetUnlockToken: {
      // Its size, key generation 0, then the challenge.
      std::vector<uint8_t> token(80);
      for (size_t i = 0; i < token.size(); ++i) token[i] = static_cast<uint8_t>(i * 29 + 3);
      token[0] = 80;
      token[1] = 0;
      return token;
    }
    default:
      return std::vector<uint8_t>(setup.wLength, 0);
  }
}

bool FuzzDfuDevice::SoundOut(const sim::SimSetupPacket& setup, const std::vector<uint8_t>& data) {
  namespace dfu = sim::dfu;
  if (setup.bmRequestType == dfu::kClassOut) {
    switch (setup.bRequest) {
      case dfu::kDnload:
        if (mState != St(State::dfuIDLE) && mState != St(State::dfuDNLOAD_IDLE)) {
          mState = St(State::dfuERROR);
          return false;
        }
        if (data.empty()) {
          mState = St(State::dfuMANIFEST_SYNC);
          mPendingBlock.reset();
          mClosed = true;
        } else {
          mState = St(State::dfuDNLOAD_SYNC);
          mPendingBlock.emplace(setup.wValue, data);
        }
        return true;
      case dfu::kClrStatus:
      case dfu::kAbort:
        mState = St(State::dfuIDLE);
        return true;
      default:
        return true;  // DFU_DETACH and the XMOS requests
    }
  }
  return true;  // the private requests: header and unlock are taken
}

void FuzzDfuDevice::Answered(const sim::SimSetupPacket& setup, const std::vector<uint8_t>& answer) {
  if (setup.bmRequestType == sim::dfu::kClassIn && setup.bRequest == sim::dfu::kGetStatus && answer.size() >= 5 &&
      setup.wLength >= 5 && answer[4] == St(State::dfuDNLOAD_IDLE) && mPendingBlock) {
    mAcknowledged[mPendingBlock->first] = std::move(mPendingBlock->second);
    mPendingBlock.reset();
  }
}

void FuzzDfuDevice::HandleRequest(sim::SimDevice&, const sim::SimControlRequestPtr& request) {
  const sim::SimSetupPacket& setup = request->Setup();
  const bool in = (setup.bmRequestType & 0x80) != 0;
  std::vector<uint8_t> answer;
  bool stall = false;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    const FuzzAction action = NextAction();
    switch (action) {
      case FuzzAction::Stall:
        stall = true;
        break;
      case FuzzAction::Silent:
        return;  // never completed: the host times out and cancels
      case FuzzAction::Scripted: {
        // A length byte, then that many bytes (cut to wLength by the request).
        const size_t length = mScriptPos < mScript.size() ? mScript[mScriptPos++] : 0;
        const size_t n = std::min(length, mScript.size() - mScriptPos);
        answer.assign(mScript.begin() + static_cast<std::ptrdiff_t>(mScriptPos),
                      mScript.begin() + static_cast<std::ptrdiff_t>(mScriptPos + n));
        mScriptPos += n;
        if (!in) {
          stall = !SoundOut(setup, request->OutData());
        }
        break;
      }
      default:
        if (in) {
          answer = SoundAnswer(setup);
          if (action == FuzzAction::Short && !answer.empty()) {
            answer.resize(answer.size() - 1 - (mScriptPos < mScript.size() ? mScript[mScriptPos++] : 0) % answer.size());
          } else if (action == FuzzAction::Long) {
            answer.resize(answer.size() + 1 + setup.wLength, 0xA5);
          }
        } else {
          stall = !SoundOut(setup, request->OutData());
        }
        break;
    }
    if (!stall && in) {
      const std::vector<uint8_t> delivered(answer.begin(),
                                           answer.begin() + std::min<size_t>(answer.size(), setup.wLength));
      Answered(setup, delivered);
    }
  }
  // Completed outside the lock: completing hands the next request over on this thread.
  if (stall) {
    request->Stall();
  } else if (in) {
    request->Complete(answer);
  } else {
    request->CompleteOut();
  }
}

}  // namespace plendrik::fuzz
