// A device model that plays one physical device of a recorded session: it joins the bus with
// the recorded identity and descriptors, answers the host's requests as the device answered
// them, and leaves and re-joins the bus where the recording shows it did (a run-mode switch).
// Class and vendor requests must come in the recorded order; the first request that does not
// match stops the replay, which then stalls every request and reports what differed.
// Time comes from the bus's scheduler; the model starts no threads.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/SimDeviceModel.h"
#include "sim/SimRecording.h"

namespace plendrik::sim {

enum class SimReplayLatency {
  Recorded,  // answers after the recorded time; removal and arrival gaps as recorded (capped)
  Zero,      // answers at once
};

// The first request that did not match the recording.
struct SimReplayMismatch {
  size_t recordNumber = 0;  // the record that was expected; 0 when the recording had none left
  std::string expected;     // e.g. "DFU_GETSTATUS setup a103000000000600"
  std::string actual;       // the request that came, e.g. "DFU_DNLOAD setup 2101... out 1024 bytes crc32 ..."
  std::string text;         // the whole line, as written to the debugger output
};

class SimReplayModel : public SimDeviceModel, public std::enable_shared_from_this<SimReplayModel> {
 public:
  // The longest removal or arrival gap played with recorded latency.
  static constexpr std::chrono::seconds kMaxGap{3};

  // Why the recording cannot replay the device with that label; empty when it can.
  static std::string Check(const SimRecording& recording, const std::string& label);
  // A model of the device with that label (empty: the recording's first device). Null with
  // *error set when the recording has no such device or the device never arrives.
  static std::shared_ptr<SimReplayModel> Create(SimBusAccess& bus, std::shared_ptr<const SimRecording> recording,
                                                const std::string& label, SimReplayLatency latency,
                                                std::string* error = nullptr);
  // The replay model behind a device on the bus; null when it is another model's device.
  static std::shared_ptr<SimReplayModel> Of(const SimDevicePtr& device);

  // Plays the device's first arrival now. False when it has started already.
  bool Plug();
  // Takes the device off the bus and ends the replay.
  bool Unplug();

  const std::string& Label() const { return mDevice->label; }
  std::optional<SimReplayMismatch> Mismatch() const;
  // Every recorded step of the device (requests, resets, removals, arrivals) has been played.
  bool Finished() const;
  // The DFU_DNLOAD data received, each block at its recorded offset.
  std::vector<uint8_t> ReceivedImage() const;
  // The device the model answers behind now; null while it is off the bus.
  SimDevicePtr CurrentDevice() const;
  // Called with ReceivedImage() whenever a download ends: the device is about to acknowledge a
  // zero-length DFU_DNLOAD as the recording shows it did. Called on the requesting thread,
  // without the model's lock, before the answer goes out.
  void OnDownloadEnd(std::function<void(const std::vector<uint8_t>& image)> handler);

  void HandleRequest(SimDevice& device, const SimControlRequestPtr& request) override;
  bool InterceptStandardRequest(SimDevice& device, const SimControlRequestPtr& request,
                                std::function<void()> answer) override;
  void OnAttached(SimDevice& device) override;
  void OnDetached(SimDevice& device) override;
  bool OnUsbReset(SimDevice& device) override;

 private:
  SimReplayModel(SimBusAccess& bus, std::shared_ptr<const SimRecording> recording, const SimRecordedDevice* device,
                 SimReplayLatency latency);

  enum class Answer { Data, Ack, Stall, None, Gone };
  struct Reply {
    Answer answer = Answer::Stall;
    std::vector<uint8_t> data;
    std::optional<uint32_t> outLength;  // an OUT data stage acknowledged short
  };

  // Called with mMutex held.
  void StopLocked(size_t recordNumber, const std::string& expected, const std::string& actual);
  std::chrono::microseconds Gap(int64_t from, int64_t to) const;
  void PlaceImageLocked(const SimRecordedStep& step, const std::vector<uint8_t>& data);
  static Reply ReplyFor(uint32_t result, bool noAnswer, const std::vector<uint8_t>& in,
                        std::optional<uint32_t> transferred, bool deviceToHost, uint16_t wLength);

  static void Send(const SimControlRequestPtr& request, const Reply& reply);
  // Schedules the removal or arrival that comes next in the recording, if one does.
  void ContinueBusSteps();
  void PlayBusStep(uint64_t epoch);
  // Plugs in the identity; undone when the model was unplugged (epoch changed) meanwhile.
  void AttachIdentity(size_t identity, uint64_t epoch);

  SimBusAccess& mBus;
  const std::shared_ptr<const SimRecording> mRecording;
  const SimRecordedDevice* const mDevice;  // owned by mRecording
  const SimReplayLatency mLatency;

  mutable std::mutex mMutex;
  size_t mNext = 0;      // the next step of mDevice->steps
  int64_t mLastT = 0;    // recorded time at which the last played step ended
  size_t mIdentity = 0;  // the identity shown last
  std::optional<uint64_t> mDeviceId;
  // The device the replay is taking off the bus: its step is played, the bus has not yet
  // removed it, and a request sent meanwhile fails with the removal.
  std::optional<uint64_t> mLeaving;
  SimDevicePtr mBusDevice;
  bool mBusStepDue = false;
  bool mStopped = false;  // unplugged by hand
  uint64_t mEpoch = 1;    // guards scheduled bus steps against an unplug
  std::optional<SimReplayMismatch> mMismatch;
  // How many recorded answers to a standard request were given, by identity and setup packet.
  std::map<std::pair<size_t, std::string>, size_t> mStandardGiven;
  std::vector<uint8_t> mImage;
  std::function<void(const std::vector<uint8_t>&)> mDownloadEnd;
  uint64_t mImageOffset = 0;  // DNLOAD bytes since the last zero-length DNLOAD or DFU_ABORT
};

using SimReplayModelPtr = std::shared_ptr<SimReplayModel>;

}  // namespace plendrik::sim
