#include "sim/SimDevice.h"

#include <algorithm>

#include "sim/SimDeviceModel.h"

namespace plendrik::sim {

namespace {

constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kSetInterface = 0x0B;
constexpr uint8_t kDescriptorDevice = 1;
constexpr uint8_t kDescriptorConfiguration = 2;
constexpr uint8_t kDescriptorString = 3;

}  // namespace

SimDevice::SimDevice(uint64_t id, SimDeviceSpec spec) : mId(id), mSpec(std::move(spec)) {}

SimDevice::~SimDevice() {
  for (std::thread& thread : mCancelThreads) {
    if (thread.joinable()) {
      thread.join();
    }
  }
}

bool SimDevice::IsAttached() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mAttached;
}

std::vector<uint8_t> SimDevice::DeviceDescriptor() const {
  return mSpec.rawDeviceDescriptor ? *mSpec.rawDeviceDescriptor : BuildSimDeviceDescriptor(mSpec);
}

std::optional<std::vector<uint8_t>> SimDevice::ConfigurationDescriptor(uint8_t index) const {
  if (!mSpec.rawConfigurationDescriptors.empty()) {
    if (index >= mSpec.rawConfigurationDescriptors.size()) {
      return std::nullopt;
    }
    return mSpec.rawConfigurationDescriptors[index];
  }
  if (index >= mSpec.configurations.size()) {
    return std::nullopt;
  }
  return BuildSimConfigurationDescriptor(mSpec.configurations[index]);
}

std::optional<std::vector<uint8_t>> SimDevice::StringDescriptor(uint8_t index, uint16_t langId) const {
  const auto raw = mSpec.rawStringDescriptors.find({index, langId});
  if (raw != mSpec.rawStringDescriptors.end()) {
    return raw->second;
  }
  if (mSpec.langIds.empty()) {
    return std::nullopt;
  }
  if (index == 0) {
    return BuildSimLangIdDescriptor(mSpec.langIds);
  }
  const auto text = mSpec.strings.find(index);
  if (text == mSpec.strings.end()) {
    return std::nullopt;
  }
  return BuildSimStringDescriptor(text->second);
}

std::optional<std::vector<uint8_t>> SimDevice::FunctionConfigurationDescriptor(uint8_t index, int function) const {
  std::optional<std::vector<uint8_t>> config = ConfigurationDescriptor(index);
  if (!config || function < 0 || function > 255) {
    return config;
  }
  return FilterSimConfigurationForFunction(*config, static_cast<uint8_t>(function));
}

void SimDevice::SetModel(std::shared_ptr<SimDeviceModel> model) {
  std::lock_guard<std::mutex> lock(mMutex);
  mModel = std::move(model);
}

std::shared_ptr<SimDeviceModel> SimDevice::Model() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mModel;
}

void SimDevice::SetRequestHandler(SimRequestHandler handler, SimHandlerScope scope) {
  std::lock_guard<std::mutex> lock(mMutex);
  mHandler = std::move(handler);
  mScope = scope;
}

void SimDevice::SetCancelDelay(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(mMutex);
  mCancelDelay = delay;
}

SimControlRequestPtr SimDevice::Submit(const SimSetupPacket& setup, std::span<const uint8_t> outData, int function) {
  std::vector<uint8_t> out;
  if (!setup.IsDeviceToHost()) {
    const size_t length = std::min<size_t>(outData.size(), setup.wLength);
    out.assign(outData.begin(), outData.begin() + static_cast<std::ptrdiff_t>(length));
  }
  auto request = std::make_shared<SimControlRequest>(setup, std::move(out));
  bool standard = false;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mRequestLog.size() < kRequestLogCapacity) {
      mRequestLog.push_back(setup);
    } else {
      mRequestLog[mRequestTotal % kRequestLogCapacity] = setup;
    }
    ++mRequestTotal;
    if (!mAttached) {
      request->Finish(SimTransferStatus::DeviceGone);
      return request;
    }
    std::erase_if(mPending, [](const SimControlRequestPtr& p) { return p->IsCompleted(); });
    mPending.push_back(request);
    const bool getDescriptor = setup.bmRequestType == 0x80 && setup.bRequest == kGetDescriptor;
    const bool setInterface = setup.bmRequestType == 0x01 && setup.bRequest == kSetInterface;
    const bool handlerSeesAll = mHandler && mScope == SimHandlerScope::All;
    standard = (getDescriptor || setInterface) && !handlerSeesAll;
    if (!standard) {
      mQueue.push_back(request);
    }
  }
  if (standard) {
    std::shared_ptr<SimDeviceModel> model;
    {
      std::lock_guard<std::mutex> lock(mMutex);
      if (!mHandler) {
        model = mModel;
      }
    }
    std::weak_ptr<SimDevice> self = weak_from_this();
    auto answer = [self, request, function] {
      if (const std::shared_ptr<SimDevice> device = self.lock()) {
        device->AnswerStandardRequest(request, function);
      }
    };
    if (!model || !model->InterceptStandardRequest(*this, request, answer)) {
      AnswerStandardRequest(request, function);
    }
    return request;
  }
  // The next queued request is handed over once this one has ended in any way.
  std::weak_ptr<SimDevice> self = weak_from_this();
  const SimControlRequest* raw = request.get();
  request->AddCompletionCallback([self, raw] {
    if (const std::shared_ptr<SimDevice> device = self.lock()) {
      device->OnQueuedRequestDone(raw);
    }
  });
  Pump();
  return request;
}

void SimDevice::OnQueuedRequestDone(const SimControlRequest* request) {
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mActive.get() == request) {
      mActive = nullptr;
    } else {
      std::erase_if(mQueue, [request](const SimControlRequestPtr& p) { return p.get() == request; });
    }
  }
  Pump();
}

void SimDevice::Pump() {
  std::unique_lock<std::mutex> lock(mMutex);
  // One thread hands requests over at a time; a request completed inside the model's call
  // lets the loop below continue instead of nesting another call.
  if (mPumping) {
    return;
  }
  mPumping = true;
  while (!mActive && !mQueue.empty()) {
    SimControlRequestPtr next = std::move(mQueue.front());
    mQueue.pop_front();
    if (next->IsCompleted()) {
      continue;  // cancelled or failed while it waited
    }
    mActive = next;
    const SimRequestHandler handler = mHandler;
    const std::shared_ptr<SimDeviceModel> model = mModel;
    lock.unlock();
    if (handler) {
      handler(next);
    } else if (model) {
      model->HandleRequest(*this, next);
    } else {
      next->Stall();
    }
    lock.lock();
  }
  mPumping = false;
}

bool SimDevice::AnswerStandardRequest(const SimControlRequestPtr& request, int function) {
  const SimSetupPacket& setup = request->Setup();
  if (setup.bRequest == kSetInterface) {
    // Acknowledged when the first configuration has that alternate setting of the interface.
    const std::vector<uint8_t> config = ConfigurationDescriptor(0).value_or(std::vector<uint8_t>{});
    for (size_t offset = 0; offset + 4 <= config.size() && config[offset] >= 2; offset += config[offset]) {
      if (config[offset + 1] == 4 && config[offset + 2] == setup.wIndex && config[offset + 3] == setup.wValue) {
        return request->CompleteOut();
      }
    }
    return request->Stall();
  }
  const uint8_t type = static_cast<uint8_t>(setup.wValue >> 8);
  const uint8_t index = static_cast<uint8_t>(setup.wValue & 0xFF);
  std::optional<std::vector<uint8_t>> data;
  switch (type) {
    case kDescriptorDevice:
      if (index == 0) {
        data = DeviceDescriptor();
      }
      break;
    case kDescriptorConfiguration:
      data = FunctionConfigurationDescriptor(index, function);
      break;
    case kDescriptorString:
      data = StringDescriptor(index, setup.wIndex);
      break;
    default:
      break;
  }
  if (!data) {
    return request->Stall();
  }
  return request->Complete(*data);
}

void SimDevice::Cancel(const SimControlRequestPtr& request) {
  if (!request || request->IsCompleted()) {
    return;
  }
  std::chrono::milliseconds delay;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    delay = mCancelDelay;
    if (delay.count() > 0) {
      mCancelThreads.emplace_back([request, delay] {
        std::this_thread::sleep_for(delay);
        request->Finish(SimTransferStatus::Cancelled);
      });
      return;
    }
  }
  request->Finish(SimTransferStatus::Cancelled);
}

std::vector<SimSetupPacket> SimDevice::RequestLog() const {
  size_t next = 0;
  return RequestLogSince(0, &next);
}

size_t SimDevice::RequestCount() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return mRequestTotal;
}

std::vector<SimSetupPacket> SimDevice::RequestLogSince(size_t from, size_t* next) const {
  std::lock_guard<std::mutex> lock(mMutex);
  // Held are the positions [mRequestTotal - mRequestLog.size(), mRequestTotal).
  const size_t oldest = mRequestTotal - mRequestLog.size();
  const size_t first = std::min(std::max(from, oldest), mRequestTotal);
  std::vector<SimSetupPacket> out;
  out.reserve(mRequestTotal - first);
  for (size_t position = first; position < mRequestTotal; ++position) {
    out.push_back(mRequestLog[position % kRequestLogCapacity]);
  }
  *next = mRequestTotal;
  return out;
}

size_t SimDevice::PendingRequestCount() const {
  std::lock_guard<std::mutex> lock(mMutex);
  return static_cast<size_t>(
      std::count_if(mPending.begin(), mPending.end(), [](const SimControlRequestPtr& p) { return !p->IsCompleted(); }));
}

void SimDevice::MarkDetached() {
  std::vector<SimControlRequestPtr> pending;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mAttached = false;
    pending.swap(mPending);
    mQueue.clear();
    mActive = nullptr;
  }
  for (const SimControlRequestPtr& request : pending) {
    request->Finish(SimTransferStatus::DeviceGone);
  }
}

}  // namespace plendrik::sim
