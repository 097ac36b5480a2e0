// A simulated USB device: its descriptors and identities as specified, and its control
// endpoint. Standard GET_DESCRIPTOR requests are answered from the descriptors; every other
// request goes to the device's model (SimDeviceModel) or to a handler that a test installs,
// one request at a time in submission order, as on a real default pipe. The next request is
// handed over on the thread that completes the previous one, so a model completes requests
// without holding a lock that its HandleRequest takes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "sim/SimTypes.h"

namespace plendrik::sim {

struct SimEndpointSpec {
  uint8_t address = 0x81;
  uint8_t attributes = 0x02;  // bulk
  uint16_t maxPacketSize = 64;
  uint8_t interval = 0;

  bool operator==(const SimEndpointSpec&) const = default;
};

struct SimAltSettingSpec {
  uint8_t alternateSetting = 0;
  uint8_t interfaceClass = 0xFE;  // application specific
  uint8_t interfaceSubClass = 0x01;  // DFU
  uint8_t interfaceProtocol = 0x02;  // DFU mode
  uint8_t iInterface = 0;
  // Class-specific descriptors written after the interface descriptor, each complete with
  // its bLength and bDescriptorType (e.g. the 9-byte DFU functional descriptor).
  std::vector<std::vector<uint8_t>> functionalDescriptors;
  std::vector<SimEndpointSpec> endpoints;

  bool operator==(const SimAltSettingSpec&) const = default;
};

struct SimInterfaceSpec {
  uint8_t interfaceNumber = 0;
  std::vector<SimAltSettingSpec> altSettings{SimAltSettingSpec{}};

  bool operator==(const SimInterfaceSpec&) const = default;
};

struct SimConfigurationSpec {
  uint8_t configurationValue = 1;
  uint8_t iConfiguration = 0;
  uint8_t attributes = 0x80;
  uint8_t maxPower = 50;
  std::vector<SimInterfaceSpec> interfaces{SimInterfaceSpec{}};

  bool operator==(const SimConfigurationSpec&) const = default;
};

// The Windows-side identity of a device. Empty fields are derived from the descriptors.
struct SimIdentitySpec {
  SimGuid interfaceClassGuid;             // class the nodes are registered under
  QXWString instanceSuffix;               // third part of the instance identifier; default: serial string or a generated one
  std::optional<SimGuid> containerId;     // none: reading the container identifier fails
  bool revisionInHardwareId = true;       // false: hardware identifiers without &REV_xxxx
  std::vector<QXWString> hardwareIds;     // verbatim hardware identifiers of a non-composite device
  // Composite device: each listed interface number becomes its own node with &MI_xx; an empty
  // list with composite set lists every interface of the first configuration.
  bool composite = false;
  std::vector<uint8_t> compositeInterfaces;
  // Composite device: the last part of a function's instance identifier, by interface number;
  // a function without one gets the one the bus generates, as Windows does for a child device.
  std::map<uint8_t, QXWString> functionInstanceSuffixes;

  bool operator==(const SimIdentitySpec&) const = default;
};

// Everything that makes up a simulated device.
struct SimDeviceSpec {
  uint16_t bcdUSB = 0x0200;
  uint8_t deviceClass = 0;
  uint8_t deviceSubClass = 0;
  uint8_t deviceProtocol = 0;
  uint8_t maxPacketSize0 = 64;
  uint16_t vendorId = 0x1209;
  uint16_t productId = 0x0001;
  uint16_t bcdDevice = 0x0100;
  uint8_t iManufacturer = 0;
  uint8_t iProduct = 0;
  uint8_t iSerialNumber = 0;
  std::vector<SimConfigurationSpec> configurations{SimConfigurationSpec{}};
  // LANGIDs of string descriptor 0; empty: the device has no string descriptors at all.
  std::vector<uint16_t> langIds{0x0409};
  std::map<uint8_t, QXWString> strings;  // index -> text, the same for every LANGID
  uint8_t deviceSpeed = 3;               // WinUSB's device speed value (3 = high speed)

  // Raw descriptors that replace the built ones (for malformed or unusual devices).
  std::optional<std::vector<uint8_t>> rawDeviceDescriptor;
  std::vector<std::vector<uint8_t>> rawConfigurationDescriptors;
  std::map<std::pair<uint8_t, uint16_t>, std::vector<uint8_t>> rawStringDescriptors;  // (index, LANGID)

  SimIdentitySpec identity;

  bool operator==(const SimDeviceSpec&) const = default;
};

class SimControlRequest;
using SimControlRequestPtr = std::shared_ptr<SimControlRequest>;

// One control transfer in flight. The first completion wins; later ones are ignored and
// return false (a request cancelled by the host cannot be answered any more).
class SimControlRequest {
 public:
  SimControlRequest(const SimSetupPacket& setup, std::vector<uint8_t> outData);

  const SimSetupPacket& Setup() const { return mSetup; }
  // Data stage of a host-to-device request.
  const std::vector<uint8_t>& OutData() const { return mOutData; }

  // Device-to-host: answers with data; more than wLength bytes are cut, fewer give a short answer.
  bool Complete(std::span<const uint8_t> inData);
  // Host-to-device: acknowledges the data stage (wLength bytes).
  bool CompleteOut();
  bool Stall();
  // The device babbles: it sends more than the transfer allows (see SimTransferStatus::Babble).
  bool Overrun();
  // Ends the request with any final status (used by the bus for removal and cancellation).
  bool Finish(SimTransferStatus status);

  bool IsCompleted() const;
  SimTransferStatus Status() const;
  uint32_t TransferredLength() const;
  // The answered bytes (device-to-host).
  std::vector<uint8_t> InData() const;
  // Blocks until completed or until the time-out; true when completed.
  bool WaitFor(std::chrono::milliseconds timeout) const;

  // Adds a callback that is called once, on the completing thread, after the request has
  // completed (callbacks run in the order they were added). Runs at once when the request is
  // already complete.
  void AddCompletionCallback(std::function<void()> callback);
  void SetCompletionCallback(std::function<void()> callback) { AddCompletionCallback(std::move(callback)); }

 private:
  bool CompleteWith(SimTransferStatus status, std::span<const uint8_t> inData, uint32_t length);

  const SimSetupPacket mSetup;
  const std::vector<uint8_t> mOutData;
  mutable std::mutex mMutex;
  mutable std::condition_variable mCompleted;
  SimTransferStatus mStatus = SimTransferStatus::Pending;
  std::vector<uint8_t> mInData;
  uint32_t mTransferred = 0;
  std::vector<std::function<void()>> mCallbacks;
};

using SimRequestHandler = std::function<void(const SimControlRequestPtr& request)>;

// Which requests the handler sees.
enum class SimHandlerScope {
  NonDescriptor,  // everything but standard GET_DESCRIPTOR, which the model answers
  All,            // every request, descriptors included (faults in descriptor reads)
};

class SimDeviceModel;

class SimDevice : public std::enable_shared_from_this<SimDevice> {
 public:
  SimDevice(uint64_t id, SimDeviceSpec spec);
  ~SimDevice();

  uint64_t Id() const { return mId; }
  const SimDeviceSpec& Spec() const { return mSpec; }
  bool IsAttached() const;

  // The descriptors as the device reports them.
  std::vector<uint8_t> DeviceDescriptor() const;
  std::optional<std::vector<uint8_t>> ConfigurationDescriptor(uint8_t index) const;
  // The configuration descriptor as a composite function's handle sees it: the header and
  // only the function's own interfaces (with their class and endpoint descriptors, and the
  // interface association that groups them). function -1: the whole descriptor.
  std::optional<std::vector<uint8_t>> FunctionConfigurationDescriptor(uint8_t index, int function) const;
  std::optional<std::vector<uint8_t>> StringDescriptor(uint8_t index, uint16_t langId) const;

  // Installs the handler of non-standard requests; without one (and without a model) such
  // requests stall. A handler takes precedence over a model.
  void SetRequestHandler(SimRequestHandler handler, SimHandlerScope scope = SimHandlerScope::NonDescriptor);
  // Installs the model that answers the non-standard requests (the bus does this on Attach).
  void SetModel(std::shared_ptr<SimDeviceModel> model);
  std::shared_ptr<SimDeviceModel> Model() const;
  // A cancelled request completes only after this delay (a slow cancellation); default 0.
  void SetCancelDelay(std::chrono::milliseconds delay);

  // Submits a control transfer; the request completes now, later from any thread, or never.
  // A device that has left the bus fails the request at once. function: the composite
  // function whose handle sends it (-1: the whole device); it shapes the configuration
  // descriptor that the request reads.
  SimControlRequestPtr Submit(const SimSetupPacket& setup, std::span<const uint8_t> outData, int function = -1);
  // Cancels a request: it completes as cancelled, after the cancel delay.
  void Cancel(const SimControlRequestPtr& request);

  // The request log, for tests and models: the setup packets of the last
  // kRequestLogCapacity requests in submission order (older ones are dropped, so that a long
  // download does not grow it without bound).
  static constexpr size_t kRequestLogCapacity = 8192;
  std::vector<SimSetupPacket> RequestLog() const;
  // Requests seen so far, dropped ones included: the log position of the next request.
  size_t RequestCount() const;
  // The logged requests from position `from` (a former RequestCount()) on, as far as they are
  // still held; *next receives the position after the last one.
  std::vector<SimSetupPacket> RequestLogSince(size_t from, size_t* next) const;
  size_t PendingRequestCount() const;

  // Bus side: leaving fails every request in flight.
  void MarkDetached();

 private:
  bool AnswerStandardRequest(const SimControlRequestPtr& request, int function);
  // Hands queued requests to the model or handler while none is active.
  void Pump();
  void OnQueuedRequestDone(const SimControlRequest* request);

  const uint64_t mId;
  const SimDeviceSpec mSpec;
  mutable std::mutex mMutex;
  bool mAttached = true;
  SimRequestHandler mHandler;
  std::shared_ptr<SimDeviceModel> mModel;
  SimHandlerScope mScope = SimHandlerScope::NonDescriptor;
  std::deque<SimControlRequestPtr> mQueue;  // requests waiting for the model or handler
  SimControlRequestPtr mActive;             // the request the model or handler holds
  bool mPumping = false;
  std::chrono::milliseconds mCancelDelay{0};
  std::vector<SimSetupPacket> mRequestLog;  // a ring once it holds kRequestLogCapacity entries
  size_t mRequestTotal = 0;                 // requests ever logged; the oldest held is at mRequestTotal % capacity
  std::vector<SimControlRequestPtr> mPending;
  std::vector<std::thread> mCancelThreads;
};

using SimDevicePtr = std::shared_ptr<SimDevice>;

// Descriptor bytes built from a specification.
std::vector<uint8_t> BuildSimDeviceDescriptor(const SimDeviceSpec& spec);
std::vector<uint8_t> BuildSimConfigurationDescriptor(const SimConfigurationSpec& configuration);
// The part of a configuration descriptor that a composite function (its first interface
// number) presents: header with adjusted wTotalLength and bNumInterfaces, then the
// function's interfaces.
std::vector<uint8_t> FilterSimConfigurationForFunction(const std::vector<uint8_t>& config, uint8_t function);
std::vector<uint8_t> BuildSimStringDescriptor(QXWStringView text);
std::vector<uint8_t> BuildSimLangIdDescriptor(const std::vector<uint16_t>& langIds);

}  // namespace plendrik::sim
