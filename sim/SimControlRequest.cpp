#include "sim/SimDevice.h"

namespace plendrik::sim {

SimControlRequest::SimControlRequest(const SimSetupPacket& setup, std::vector<uint8_t> outData)
    : mSetup(setup), mOutData(std::move(outData)) {}

bool SimControlRequest::Complete(std::span<const uint8_t> inData) {
  const size_t length = inData.size() < mSetup.wLength ? inData.size() : mSetup.wLength;
  return CompleteWith(SimTransferStatus::Success, inData.first(length), static_cast<uint32_t>(length));
}

bool SimControlRequest::CompleteOut() {
  return CompleteWith(SimTransferStatus::Success, {}, static_cast<uint32_t>(mOutData.size()));
}

bool SimControlRequest::Stall() { return CompleteWith(SimTransferStatus::Stall, {}, 0); }

bool SimControlRequest::Overrun() { return CompleteWith(SimTransferStatus::Babble, {}, 0); }

bool SimControlRequest::Finish(SimTransferStatus status) {
  if (status == SimTransferStatus::Pending) {
    return false;
  }
  return CompleteWith(status, {}, 0);
}

bool SimControlRequest::CompleteWith(SimTransferStatus status, std::span<const uint8_t> inData, uint32_t length) {
  std::vector<std::function<void()>> callbacks;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mStatus != SimTransferStatus::Pending) {
      return false;
    }
    mStatus = status;
    mInData.assign(inData.begin(), inData.end());
    mTransferred = length;
    callbacks.swap(mCallbacks);
  }
  mCompleted.notify_all();
  for (std::function<void()>& callback : callbacks) {
    if (callback) {
      callback();
    }
  }
  return true;
}

bool SimControlRequest::IsCompleted() const { return Status() != SimTransferStatus::Pending; }

SimTransferStatus SimControlRequest::Status() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mStatus;
}

uint32_t SimControlRequest::TransferredLength() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mTransferred;
}

std::vector<uint8_t> SimControlRequest::InData() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mInData;
}

bool SimControlRequest::WaitFor(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mMutex);
  return mCompleted.wait_for(lock, timeout, [this] { return mStatus != SimTransferStatus::Pending; });
}

void SimControlRequest::AddCompletionCallback(std::function<void()> callback) {
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mStatus == SimTransferStatus::Pending) {
      mCallbacks.push_back(std::move(callback));
      return;
    }
  }
  if (callback) {
    callback();
  }
}

}  // namespace plendrik::sim
