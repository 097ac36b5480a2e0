// The behaviour of one physical simulated device. A model outlives the SimDevice through
// which it is currently on the bus: when the device leaves and joins again (a detach, a USB
// reset, another run mode with other descriptors) the same model, with its own state, answers
// behind the new SimDevice.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "sim/SimDevice.h"
#include "sim/SimScheduler.h"

namespace plendrik::sim {

class SimDeviceModel;

// What a model may do to the bus it lives on. The virtual bus implements it; tests of a model
// may substitute their own.
class SimBusAccess {
 public:
  virtual ~SimBusAccess() = default;

  virtual SimScheduler& Scheduler() = 0;
  // Plugs a device in with its behaviour: the device answers through the model from the moment
  // it is listed (before any observer hears of it).
  virtual SimDevicePtr Attach(const SimDeviceSpec& spec, std::shared_ptr<SimDeviceModel> model) = 0;
  // Unplugs a device: its nodes disappear, its requests in flight fail, its open handles go
  // stale. False when the device is not on the bus.
  virtual bool Detach(uint64_t deviceId) = 0;
};

class SimDeviceModel {
 public:
  virtual ~SimDeviceModel() = default;

  // A control request that the descriptors do not answer (every request but standard
  // GET_DESCRIPTOR and SET_INTERFACE). Requests of one device reach the model one at a time, in
  // submission order: the next is handed over only after this one has completed. The model
  // completes the request now or later (from a scheduled task); a request it never completes
  // runs into the host's time-out and cancellation.
  virtual void HandleRequest(SimDevice& device, const SimControlRequestPtr& request) = 0;
  // A standard request that the descriptors answer (GET_DESCRIPTOR, SET_INTERFACE), offered to
  // the model first, as a device's own firmware sees every request: false lets the device
  // answer it as usual; true means the model took it and completes it itself, now, later
  // (`answer` gives the usual answer from any thread) or never.
  virtual bool InterceptStandardRequest(SimDevice& device, const SimControlRequestPtr& request,
                                        std::function<void()> answer) {
    (void)device;
    (void)request;
    (void)answer;
    return false;
  }
  // The device has joined the bus as `device` (called before observers hear of the arrival).
  virtual void OnAttached(SimDevice& device) { (void)device; }
  // The device has left the bus; requests still in flight have failed.
  virtual void OnDetached(SimDevice& device) { (void)device; }
  // A USB reset of the device: true when the model takes it (it leaves the bus and joins again
  // itself); false lets the bus take the device off and plug it in again as it is.
  virtual bool OnUsbReset(SimDevice& device) {
    (void)device;
    return false;
  }
};

using SimDeviceModelPtr = std::shared_ptr<SimDeviceModel>;

}  // namespace plendrik::sim
