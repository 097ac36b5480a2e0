// Records what simulated devices do on the virtual bus as a device-session recording: a bus
// access that device models are created on (SimDfuDevice::Create(tap, ...)) and that writes
// their arrivals and removals, the descriptors the host reads and every control transfer with
// its answer. Tests record a real upgrade against a simulated device this way, then replay the
// recording (changed or not) against the engine. Records are written in the order the device
// saw the requests, each when its answer is known.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/SimDeviceModel.h"
#include "sim/VirtualUsbBus.h"
#include "support/RecordingBuilder.h"

namespace fbtest {

class RecordingTap final : public plendrik::sim::SimBusAccess {
 public:
  explicit RecordingTap(plendrik::sim::SimBusAccess& bus = plendrik::sim::VirtualUsbBus::Instance())
      : mBus(bus), mStart(std::chrono::steady_clock::now()) {}

  plendrik::sim::SimScheduler& Scheduler() override { return mBus.Scheduler(); }

  plendrik::sim::SimDevicePtr Attach(const plendrik::sim::SimDeviceSpec& spec,
                                     std::shared_ptr<plendrik::sim::SimDeviceModel> model) override {
    // The arrival's place is taken first: the device answers as soon as it is listed.
    const size_t slot = Reserve();
    const int64_t t = Now();
    plendrik::sim::SimDevicePtr device = mBus.Attach(spec, std::make_shared<TapModel>(this, std::move(model)));
    if (!device) {
      Fill(slot, {});
      return device;
    }
    const std::vector<plendrik::sim::SimDeviceListEntry> entries =
        plendrik::sim::BuildSimDeviceListEntries(device->Id(), spec);
    RecordingBuilder lines(1);
    lines.Lines().clear();
    int handle = 0;
    {
      std::lock_guard<std::mutex> lock(mMutex);
      handle = (mNextFile += 2);
      mHandles[device->Id()] = handle;
      mPaths[device->Id()] = entries.empty() ? std::string() : plendrik::sim::SimNarrow(entries.front().interfacePath);
      mOffsets[device->Id()] = 0;
    }
    for (const plendrik::sim::SimDeviceListEntry& entry : entries) {
      RecordedNode node;
      node.path = plendrik::sim::SimNarrow(entry.interfacePath);
      node.instance = plendrik::sim::SimNarrow(entry.instanceId);
      for (const auto& id : entry.hardwareIds) node.hardwareIds.push_back(plendrik::sim::SimNarrow(id));
      if (entry.containerId) node.container = Lower(entry.containerId->ToString());
      node.interfaceClass = Lower(entry.interfaceClassGuid.ToString());
      lines.Arrival(t, kLabel, node);
    }
    if (!entries.empty()) {
      lines.Open(t, kLabel, plendrik::sim::SimNarrow(entries.front().interfacePath), handle - 1);
      lines.Claim(t, kLabel, handle - 1, handle);
      // The descriptors as the device reports them, read the way the host reads them.
      const std::vector<uint8_t> dd = device->DeviceDescriptor();
      lines.Descriptor(t, kLabel, handle, 1, 0, 0, 18, dd);
      if (const auto config = device->ConfigurationDescriptor(0)) {
        lines.Descriptor(t, kLabel, handle, 2, 0, 0, 9, std::vector<uint8_t>(config->begin(), config->begin() + 9));
        lines.Descriptor(t, kLabel, handle, 2, 0, 0, static_cast<uint16_t>(config->size()), *config);
      }
      if (const auto langs = device->StringDescriptor(0, 0)) {
        lines.Descriptor(t, kLabel, handle, 3, 0, 0, 255, *langs);
        for (uint8_t index = 1; index < 16; ++index) {
          if (const auto text = device->StringDescriptor(index, 0x0409)) {
            lines.Descriptor(t, kLabel, handle, 3, index, 0x0409, 255, *text);
          }
        }
      }
    }
    Fill(slot, lines.Lines());
    return device;
  }

  bool Detach(uint64_t deviceId) override {
    std::string path;
    {
      std::lock_guard<std::mutex> lock(mMutex);
      const auto it = mPaths.find(deviceId);
      if (it != mPaths.end()) path = it->second;
    }
    if (!path.empty() && mBus.Detach(deviceId)) {
      RecordingBuilder lines(1);
      lines.Lines().clear();
      lines.Removal(Now(), kLabel, path);
      Fill(Reserve(), lines.Lines());
      return true;
    }
    return false;
  }

  // The recording so far (records whose answers are still outstanding are left out).
  RecordingBuilder Recording() const {
    RecordingBuilder builder(1, "virtual-bus");
    std::lock_guard<std::mutex> lock(mMutex);
    for (const std::vector<std::string>& lines : mSlots) {
      for (const std::string& line : lines) builder.Raw(line);
    }
    return builder;
  }

 private:
  static constexpr const char* kLabel = "d1";

  static std::string Lower(std::string text) {
    for (char& c : text) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
  }

  int64_t Now() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - mStart).count();
  }

  size_t Reserve() {
    std::lock_guard<std::mutex> lock(mMutex);
    mSlots.emplace_back();
    return mSlots.size() - 1;
  }

  void Fill(size_t slot, std::vector<std::string> lines) {
    std::lock_guard<std::mutex> lock(mMutex);
    mSlots[slot] = std::move(lines);
  }

  static uint32_t ResultOf(plendrik::sim::SimTransferStatus status) {
    using plendrik::sim::SimTransferStatus;
    switch (status) {
      case SimTransferStatus::Success:
        return 0;
      case SimTransferStatus::Stall:
        return 31;
      case SimTransferStatus::DeviceGone:
        return 1167;
      case SimTransferStatus::Cancelled:
        return 995;
      default:
        return 31;
    }
  }

  // Writes the record of a request once it has completed.
  void Watch(uint64_t deviceId, const plendrik::sim::SimControlRequestPtr& request) {
    const size_t slot = Reserve();
    const int64_t submitted = Now();
    int handle = 0;
    std::optional<uint64_t> offset;
    const plendrik::sim::SimSetupPacket& s = request->Setup();
    {
      std::lock_guard<std::mutex> lock(mMutex);
      handle = mHandles[deviceId];
      uint64_t& next = mOffsets[deviceId];
      if (s.bmRequestType == 0x21 && s.bRequest == 0x01 && s.wLength > 0) {
        offset = next;
        next += request->OutData().size();
      } else if (s.bmRequestType == 0x21 && (s.bRequest == 0x06 || s.bRequest == 0x01)) {
        next = 0;  // DFU_ABORT or the closing zero-length DFU_DNLOAD
      }
    }
    std::weak_ptr<plendrik::sim::SimControlRequest> weak = request;
    request->AddCompletionCallback([this, slot, submitted, handle, offset, weak] {
      const auto r = weak.lock();
      if (!r) return;
      const plendrik::sim::SimSetupPacket& p = r->Setup();
      RecordingBuilder lines(1);
      lines.Lines().clear();
      const uint32_t result = ResultOf(r->Status());
      const int64_t t = Now();
      if (p.bmRequestType == 0x80 && p.bRequest == 0x06) {
        lines.Descriptor(t, kLabel, handle, static_cast<uint8_t>(p.wValue >> 8), static_cast<uint8_t>(p.wValue & 0xFF),
                         p.wIndex, p.wLength, r->InData(), result);
      } else if (p.bmRequestType == 0x01 && p.bRequest == 0x0B) {
        lines.AltSetting(t, kLabel, handle, static_cast<uint8_t>(p.wValue), result);
      } else {
        if (result == 995) {
          lines.Timeout(t, kLabel, handle, 300);
          lines.Cancel(t, kLabel, handle);
        }
        RecordedTransfer x;
        x.tSubmit = submitted;
        x.tComplete = t;
        x.handle = handle;
        x.setup = SetupHex(p.bmRequestType, p.bRequest, p.wValue, p.wIndex, p.wLength);
        x.out = r->OutData();
        x.outByDigest = offset.has_value();
        x.offset = offset;
        x.in = r->InData();
        x.result = result;
        x.transferred = r->TransferredLength();
        lines.Transfer(x);
      }
      Fill(slot, lines.Lines());
    });
  }

  class TapModel final : public plendrik::sim::SimDeviceModel {
   public:
    TapModel(RecordingTap* tap, std::shared_ptr<plendrik::sim::SimDeviceModel> inner)
        : mTap(tap), mInner(std::move(inner)) {}
    void HandleRequest(plendrik::sim::SimDevice& device, const plendrik::sim::SimControlRequestPtr& request) override {
      mTap->Watch(device.Id(), request);
      mInner->HandleRequest(device, request);
    }
    bool InterceptStandardRequest(plendrik::sim::SimDevice& device, const plendrik::sim::SimControlRequestPtr& request,
                                  std::function<void()> answer) override {
      mTap->Watch(device.Id(), request);
      return mInner->InterceptStandardRequest(device, request, std::move(answer));
    }
    void OnAttached(plendrik::sim::SimDevice& device) override { mInner->OnAttached(device); }
    void OnDetached(plendrik::sim::SimDevice& device) override { mInner->OnDetached(device); }
    bool OnUsbReset(plendrik::sim::SimDevice& device) override {
      int handle = 0;
      {
        std::lock_guard<std::mutex> lock(mTap->mMutex);
        handle = mTap->mHandles[device.Id()];
      }
      RecordingBuilder lines(1);
      lines.Lines().clear();
      lines.Reset(mTap->Now(), kLabel, handle);
      mTap->Fill(mTap->Reserve(), lines.Lines());
      return mInner->OnUsbReset(device);
    }

   private:
    RecordingTap* mTap;
    std::shared_ptr<plendrik::sim::SimDeviceModel> mInner;
  };

  plendrik::sim::SimBusAccess& mBus;
  const std::chrono::steady_clock::time_point mStart;
  mutable std::mutex mMutex;
  std::vector<std::vector<std::string>> mSlots;  // records in the order their places were taken
  std::map<uint64_t, int> mHandles;              // device id -> the WinUSB handle its records name
  std::map<uint64_t, std::string> mPaths;        // device id -> its interface path
  std::map<uint64_t, uint64_t> mOffsets;         // device id -> DNLOAD bytes since the download began
  int mNextFile = 0;
};

}  // namespace fbtest
