// A simulated DFU device whose every answer comes from a fuzzer's bytes. Each request the
// descriptors do not answer takes one action byte from the script: answer as a sound DFU 1.1
// bootloader would, stall, never answer (the host's time-out and cancellation run), answer
// short, answer long, or answer with bytes taken from the script. An exhausted script answers
// soundly, so that short inputs reach the end of an upgrade and mutations disturb one step.
// The model records which data blocks the device acknowledged, so a harness can check that an
// upgrade reported finished delivered every byte of the image.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/SimDeviceModel.h"

namespace plendrik::fuzz {

// The fuzzer's bytes, read front to back; reads past the end give nothing.
class FuzzByteReader {
 public:
  FuzzByteReader(const uint8_t* data, size_t size) : mData(data), mSize(size) {}
  std::optional<uint8_t> Next() {
    if (mPos >= mSize) return std::nullopt;
    return mData[mPos++];
  }
  uint8_t U8(uint8_t otherwise = 0) { return Next().value_or(otherwise); }
  uint16_t U16(uint16_t otherwise = 0) {
    if (mSize - mPos < 2) return otherwise;
    const uint16_t v = static_cast<uint16_t>(mData[mPos] | mData[mPos + 1] << 8);
    mPos += 2;
    return v;
  }
  std::vector<uint8_t> Bytes(size_t count) {
    const size_t n = count < mSize - mPos ? count : mSize - mPos;
    std::vector<uint8_t> out(mData + mPos, mData + mPos + n);
    mPos += n;
    return out;
  }

 private:
  const uint8_t* mData;
  size_t mSize;
  size_t mPos = 0;
};

enum class FuzzAction : uint8_t {
  Sound = 0,  // 0, 1, 2 and an exhausted script
  Stall = 3,
  Silent = 4,
  Short = 5,
  Long = 6,
  Scripted = 7,
};

class FuzzDfuDevice final : public sim::SimDeviceModel {
 public:
  // Requests left unanswered cost the host a time-out each; beyond this many they stall.
  static constexpr int kMaxSilent = 3;

  FuzzDfuDevice(std::vector<uint8_t> script, uint32_t pollTimeoutMs);

  void HandleRequest(sim::SimDevice& device, const sim::SimControlRequestPtr& request) override;

  // Forgets what earlier upgrades delivered.
  void ResetDelivery();
  // The data the device acknowledged, block after block from block 0; false when the
  // acknowledged blocks are not 0..n-1 without a gap, or no closing zero-length block was taken.
  bool DeliveredImage(std::vector<uint8_t>& image) const;

 private:
  FuzzAction NextAction();
  // What a sound bootloader answers to a device-to-host request (and the state it goes to).
  std::vector<uint8_t> SoundAnswer(const sim::SimSetupPacket& setup);
  // A host-to-device request as a sound bootloader takes it; false: it stalls.
  bool SoundOut(const sim::SimSetupPacket& setup, const std::vector<uint8_t>& data);
  // A device-to-host answer that got to the host: a status record acknowledges a pending block.
  void Answered(const sim::SimSetupPacket& setup, const std::vector<uint8_t>& answer);

  std::mutex mMutex;
  std::vector<uint8_t> mScript;
  size_t mScriptPos = 0;
  int mSilent = 0;
  uint32_t mPollTimeoutMs;
  uint8_t mState = 2;  // dfuIDLE
  // Delivery: the block waiting for its status record, the acknowledged blocks, the close.
  std::optional<std::pair<uint16_t, std::vector<uint8_t>>> mPendingBlock;
  std::map<uint16_t, std::vector<uint8_t>> mAcknowledged;
  bool mClosed = false;
};

}  // namespace plendrik::fuzz
