// A device port for session tests that plays a DFU 1.1 bootloader instead of talking USB:
// it keeps the DFU state, takes blocks into its firmware, answers DFU_GETSTATUS as a device
// with a configurable busy time, manifests tolerant or not, judges images by a fixed answer
// and checks unlock requests by HMAC. Every request is recorded, any request can be made to
// fail, and one request can be held at a gate until the test lets it go.
//
// Tests configure a ScriptedDfuDevice and install it with ScriptedPortInstaller; every session
// opened meanwhile gets a port onto that device.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "device/DfuDevicePortFactory.h"
#include "device/DfuDevicePortInterface.h"
#include "device/DfuPollWait.h"
#include "device/QXBootloaderUnlockKey.h"
#include "device/QXSha256.h"
#include "diag/QXStringBuffer.h"
#include "discovery/DfuEnumeratorPortUsbDfu.h"

namespace fbdev {

using namespace plendrik;

enum class Req {
  OpenPort,
  Reboot,
  SelectTarget,
  Dnload,
  GetStatus,
  ClrStatus,
  Abort,
  GetState,
  StoreHeader,
  CheckCompatibility,
  GetToken,
  Unlock,
  Reset,
  PropertyUint,
  PropertyString,
};

enum : uint8_t {
  kAppIdle = 0,
  kIdle = 2,
  kDnloadSync = 3,
  kDnbusy = 4,
  kDnloadIdle = 5,
  kManifestSync = 6,
  kManifest = 7,
  kManifestWaitReset = 8,
  kError = 10,
};

// How a device that is not manifestation tolerant ends its manifestation.
enum class ManifestEnd {
  ResetsItself,          // answers dfuMANIFEST, then leaves the bus
  WaitsForReset,         // answers dfuMANIFEST_WAIT_RESET until the host resets it
  LeavesWhileAnswering,  // leaves the bus while it answers the status after the closing block
};

struct RequestRecord {
  Req req;
  uint32_t value;   // block number, target, run mode, property id
  uint64_t length;  // DNLOAD length
};

class ScriptedDfuDevice {
 public:
  // Configuration; set before the session opens the port.
  uint32_t runMode = QXDFU_RUN_MODE_BOOTLOADER;
  uint32_t transferSize = 4096;
  bool downloadCapable = true;
  bool manifestationTolerant = true;
  std::atomic<bool> connected{true};
  uint8_t state = kIdle;  // the state the device is in now
  uint8_t status = 0;
  uint32_t bwPollTimeout = 0;                           // of the dfuDNBUSY answers
  uint32_t manifestPollTimeout = 0;                     // of the dfuMANIFEST answers
  uint32_t busyPollsPerBlock = 0;                       // dfuDNBUSY answers before a block is taken
  bool syncFirst = false;                               // the first GETSTATUS of a block answers dfuDNLOAD_SYNC
  bool stuckBusy = false;                               // never leaves dfuDNBUSY
  bool stuckSync = false;                               // never leaves dfuDNLOAD_SYNC
  uint32_t manifestPolls = 1;                           // dfuMANIFEST answers before dfuIDLE (or the end below)
  ManifestEnd manifestEnd = ManifestEnd::ResetsItself;  // of a device that is not tolerant
  bool canReset = true;                                 // the platform can reset the device
  uint32_t lateBusyPollTimeout = 0xFFFFFFFF;            // bwPollTimeout of the busy answers after the first
                                                        // of a block (none: bwPollTimeout)
  uint32_t syncAfterBusy = 0;                           // dfuDNLOAD_SYNC answers after each waited-out dfuDNBUSY
  int errorAfterBlock = -1;                             // answers dfuERROR with errorStatus after this block
  uint8_t errorStatus = 0;
  uint32_t compatibilityAnswer = 0;  // the device's 32-bit answer; 0 = compatible
  bool requireUnlock = false;        // a download before a good unlock request stalls
  uint8_t tokenSize = kQXUnlockTokenSize;
  uint8_t tokenKeyGeneration = 0;
  uint32_t dnloadDelayMs = 0;  // time each data block takes on the wire
  uint16_t vendorId = 0x1209, productId = 0x2002, bcdDevice = 0x0100;
  QXWString manufacturer = QXW("Scripted");
  QXWString product = QXW("Scripted DFU");
  QXWString serialNumber;

  // Answers a nonzero status to fail the request instead of carrying it out.
  std::function<QXSTATUS(Req, uint32_t value)> fault;

  // Holds the first request req with the given value until releaseWhen() is true (10 s at most).
  void SetGate(Req req, uint32_t value, std::function<bool()> releaseWhen) {
    std::lock_guard<std::mutex> lock(mMutex);
    mGateReq = req;
    mGateValue = value;
    mGateRelease = std::move(releaseWhen);
    mGateArmed = true;
  }
  std::atomic<bool> gateReached{false};
  std::atomic<int> portsAlive{0};

  // Observations.
  std::vector<uint8_t> Firmware() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mFirmware;
  }
  std::vector<RequestRecord> Requests() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mRequests;
  }
  size_t Count(Req req) const {
    std::lock_guard<std::mutex> lock(mMutex);
    return static_cast<size_t>(
        std::count_if(mRequests.begin(), mRequests.end(), [req](const RequestRecord& r) { return r.req == req; }));
  }
  std::vector<uint64_t> DataBlockLengths() const {
    std::vector<uint64_t> lengths;
    for (const RequestRecord& r : Requests()) {
      if (r.req == Req::Dnload) {
        lengths.push_back(r.length);
      }
    }
    return lengths;
  }
  // Where each data block's bytes were when DFU_DNLOAD was called.
  std::vector<const uint8_t*> BlockBuffers() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mBlockBuffers;
  }
  bool Unlocked() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mUnlocked;
  }
  std::vector<uint8_t> StoredHeader() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mHeader;
  }
  uint8_t CurrentState() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return state;
  }
  QXWString instanceId;  // taken from the enumeration entry at open

 private:
  friend class ScriptedDfuPort;

  // Records the request, waits at the gate, and asks the fault hook. Returns a status to fail with.
  QXSTATUS Enter(Req req, uint32_t value, uint64_t length = 0) {
    std::function<bool()> release;
    std::function<QXSTATUS(Req, uint32_t)> faultHook;
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mRequests.push_back({req, value, length});
      if (mGateArmed && mGateReq == req && mGateValue == value) {
        mGateArmed = false;
        release = mGateRelease;
      }
      faultHook = fault;
    }
    if (release) {
      gateReached = true;
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (!release() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    return faultHook ? faultHook(req, value) : QXSTATUS_SUCCESS;
  }

  // A request that is wrong in the current state stalls and leaves the device in dfuERROR.
  QXSTATUS Stall(uint8_t bStatus = 15) {
    state = kError;
    status = bStatus;
    return QXSTATUS_USB_STALL;
  }

  void Answer(uint8_t (&record)[kQXDfuStatusRecordSize], uint8_t bState, uint32_t pollTimeout) {
    record[0] = status;
    record[1] = static_cast<uint8_t>(pollTimeout);
    record[2] = static_cast<uint8_t>(pollTimeout >> 8);
    record[3] = static_cast<uint8_t>(pollTimeout >> 16);
    record[4] = bState;
    record[5] = 0;
  }

  QXSTATUS GetStatus(uint8_t (&record)[kQXDfuStatusRecordSize]) {
    std::lock_guard<std::mutex> lock(mMutex);
    switch (state) {
      case kDnloadSync:
      case kDnbusy:
        if (stuckSync || mSyncPending) {
          mSyncPending = false;
          Answer(record, kDnloadSync, 0);
          return QXSTATUS_SUCCESS;
        }
        if (mSyncAfterBusyLeft > 0) {
          --mSyncAfterBusyLeft;
          Answer(record, kDnloadSync, 0);
          return QXSTATUS_SUCCESS;
        }
        if (errorAfterBlock >= 0 && mLastBlock == static_cast<uint32_t>(errorAfterBlock)) {
          state = kError;
          status = errorStatus;
          Answer(record, kError, 0);
          return QXSTATUS_SUCCESS;
        }
        if (stuckBusy || mBusyLeft > 0) {
          mBusyLeft -= mBusyLeft > 0 ? 1 : 0;
          const bool first = state != kDnbusy;
          state = kDnbusy;
          mSyncAfterBusyLeft = syncAfterBusy;
          Answer(record, kDnbusy, first || lateBusyPollTimeout == 0xFFFFFFFF ? bwPollTimeout : lateBusyPollTimeout);
          return QXSTATUS_SUCCESS;
        }
        state = kDnloadIdle;
        Answer(record, kDnloadIdle, 0);
        return QXSTATUS_SUCCESS;
      case kManifestSync:
        if (!manifestationTolerant && manifestEnd == ManifestEnd::LeavesWhileAnswering) {
          state = kManifestWaitReset;
          connected = false;
          return QXSTATUS_DEVICE_REMOVED;
        }
        if (mSyncPending) {
          mSyncPending = false;
          Answer(record, kManifestSync, 0);
          return QXSTATUS_SUCCESS;
        }
        state = kManifest;
        mManifestLeft = manifestPolls;
        [[fallthrough]];
      case kManifest:
        if (!manifestationTolerant && mManifestLeft == 0) {
          state = kManifestWaitReset;
          if (manifestEnd == ManifestEnd::WaitsForReset) {
            Answer(record, kManifestWaitReset, 0);
            return QXSTATUS_SUCCESS;
          }
          connected = false;  // reset itself: nothing answers any more
          return QXSTATUS_DEVICE_REMOVED;
        }
        if (mManifestLeft > 0) {
          --mManifestLeft;
          Answer(record, kManifest, manifestPollTimeout);
          return QXSTATUS_SUCCESS;
        }
        state = kIdle;
        Answer(record, kIdle, 0);
        return QXSTATUS_SUCCESS;
      case kManifestWaitReset:
        if (connected) {
          Answer(record, kManifestWaitReset, 0);
          return QXSTATUS_SUCCESS;
        }
        return QXSTATUS_DEVICE_REMOVED;
      default:
        Answer(record, state, 0);
        return QXSTATUS_SUCCESS;
    }
  }

  QXSTATUS Dnload(QXDfuBlock block, uint16_t blockNumber) {
    if (block.length != 0 && dnloadDelayMs != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(dnloadDelayMs));
    }
    std::lock_guard<std::mutex> lock(mMutex);
    if (state == kManifestWaitReset || !connected) {
      return QXSTATUS_DEVICE_REMOVED;
    }
    if (state != kIdle && state != kDnloadIdle) {
      return Stall();
    }
    if (requireUnlock && !mUnlocked) {
      return Stall(1);
    }
    if (block.length == 0) {
      state = kManifestSync;
      mSyncPending = true;
      return QXSTATUS_SUCCESS;
    }
    EXPECT_LE(block.length, transferSize);
    mFirmware.insert(mFirmware.end(), block.data, block.data + block.length);
    mBlockBuffers.push_back(block.data);
    mLastBlock = blockNumber;
    mBusyLeft = busyPollsPerBlock;
    mSyncPending = syncFirst;
    state = kDnloadSync;
    return QXSTATUS_SUCCESS;
  }

  mutable std::mutex mMutex;
  std::vector<RequestRecord> mRequests;
  std::vector<uint8_t> mFirmware;
  std::vector<const uint8_t*> mBlockBuffers;
  std::vector<uint8_t> mHeader;
  uint8_t mChallenge[64] = {};
  bool mUnlocked = false;
  bool mSyncPending = false;
  uint32_t mBusyLeft = 0;
  uint32_t mSyncAfterBusyLeft = 0;
  uint32_t mManifestLeft = 0;
  uint32_t mLastBlock = 0;
  bool mGateArmed = false;
  Req mGateReq = Req::OpenPort;
  uint32_t mGateValue = 0;
  std::function<bool()> mGateRelease;
};

class ScriptedDfuPort final : public DfuDevicePortInterface {
 public:
  explicit ScriptedDfuPort(std::shared_ptr<ScriptedDfuDevice> device) : mDevice(std::move(device)) {
    ++mDevice->portsAlive;
  }
  ~ScriptedDfuPort() override { --mDevice->portsAlive; }

  QXSTATUS OpenPortDevice(DfuEnumeratorPortInterface* enumeratorPort, uint32_t deviceIndex) override {
    if (QXSTATUS st = mDevice->Enter(Req::OpenPort, deviceIndex)) {
      return st;
    }
    auto* usbPort = dynamic_cast<DfuEnumeratorPortUsbDfu*>(enumeratorPort);
    if (usbPort == nullptr) {
      return QXSTATUS_INVALID_PARAMETER;
    }
    QXWinUsbDevInstanceId entry;
    if (QXSTATUS st = usbPort->GetUsbDevInstanceId(deviceIndex, entry)) {
      return st;
    }
    std::lock_guard<std::mutex> lock(mDevice->mMutex);
    mDevice->instanceId = entry.instanceId;
    return QXSTATUS_SUCCESS;
  }
  bool IsDeviceConnected() override { return mDevice->connected; }
  bool IsDownloadCapable() override { return mDevice->downloadCapable; }
  bool IsManifestationTolerant() override { return mDevice->manifestationTolerant; }
  uint32_t GetTransferSize() override { return mDevice->transferSize; }
  QXSTATUS GetCurrentRunMode(uint32_t& runMode) override {
    runMode = mDevice->runMode;
    return QXSTATUS_SUCCESS;
  }
  QXSTATUS GetDevicePropertyUint(uint32_t propertyId, uint32_t& value) override {
    if (QXSTATUS st = mDevice->Enter(Req::PropertyUint, propertyId)) {
      return st;
    }
    switch (propertyId) {
      case QXDFU_DEVICE_PROPERTY_VENDOR_ID:
        value = mDevice->vendorId;
        return QXSTATUS_SUCCESS;
      case QXDFU_DEVICE_PROPERTY_PRODUCT_ID:
        value = mDevice->productId;
        return QXSTATUS_SUCCESS;
      case QXDFU_DEVICE_PROPERTY_BCD_DEVICE:
        value = mDevice->bcdDevice;
        return QXSTATUS_SUCCESS;
      default:
        return QXSTATUS_INVALID_PARAMETER;
    }
  }
  QXSTATUS GetDevicePropertyString(uint32_t propertyId, QXWChar* stringBuffer, uint32_t stringBufferMaxItems) override {
    if (QXSTATUS st = mDevice->Enter(Req::PropertyString, propertyId)) {
      return st;
    }
    QXWString text;
    switch (propertyId) {
      case QXDFU_DEVICE_PROPERTY_MANUFACTURER:
        text = mDevice->manufacturer;
        break;
      case QXDFU_DEVICE_PROPERTY_PRODUCT:
        text = mDevice->product;
        break;
      case QXDFU_DEVICE_PROPERTY_SERIAL_NUMBER:
        text = mDevice->serialNumber;
        break;
      case QXDFU_DEVICE_PROPERTY_DEVICE_INSTANCE_ID: {
        std::lock_guard<std::mutex> lock(mDevice->mMutex);
        text = mDevice->instanceId;
        break;
      }
      default:
        return QXSTATUS_INVALID_PARAMETER;
    }
    return QXCopyStringToStringBuffer(text, stringBuffer, stringBufferMaxItems);
  }
  QXSTATUS RebootDevice(uint32_t targetRunMode, uint32_t flags) override {
    if (QXSTATUS st = mDevice->Enter(Req::Reboot, targetRunMode)) {
      return st;
    }
    (void)flags;
    return targetRunMode == 1 || targetRunMode == 2 ? QXSTATUS_SUCCESS : QXSTATUS_INVALID_PARAMETER;
  }
  QXSTATUS SelectTarget(uint8_t targetId, uint32_t) override { return mDevice->Enter(Req::SelectTarget, targetId); }
  QXSTATUS DfuDnload(QXDfuBlock block, uint16_t blockNumber) override {
    if (QXSTATUS st = mDevice->Enter(Req::Dnload, blockNumber, block.length)) {
      return st;
    }
    return mDevice->Dnload(block, blockNumber);
  }
  QXSTATUS DfuGetStatus(uint8_t (&record)[kQXDfuStatusRecordSize]) override {
    std::memset(record, 0, sizeof(record));
    if (QXSTATUS st = mDevice->Enter(Req::GetStatus, 0)) {
      return st;
    }
    return mDevice->GetStatus(record);
  }
  QXSTATUS DfuClrStatus() override {
    if (QXSTATUS st = mDevice->Enter(Req::ClrStatus, 0)) {
      return st;
    }
    std::lock_guard<std::mutex> lock(mDevice->mMutex);
    if (mDevice->state != kError) {
      return mDevice->Stall();
    }
    mDevice->state = kIdle;
    mDevice->status = 0;
    return QXSTATUS_SUCCESS;
  }
  QXSTATUS DfuAbort() override {
    if (QXSTATUS st = mDevice->Enter(Req::Abort, 0)) {
      return st;
    }
    std::lock_guard<std::mutex> lock(mDevice->mMutex);
    const uint8_t s = mDevice->state;
    if (s == kIdle || s == kDnloadSync || s == kDnloadIdle || s == kManifestSync || s == 9) {
      mDevice->state = kIdle;
      return QXSTATUS_SUCCESS;
    }
    return mDevice->Stall();
  }
  QXSTATUS DfuGetState(uint8_t& state) override {
    state = 0;
    if (QXSTATUS st = mDevice->Enter(Req::GetState, 0)) {
      return st;
    }
    std::lock_guard<std::mutex> lock(mDevice->mMutex);
    state = mDevice->state;
    return QXSTATUS_SUCCESS;
  }
  QXSTATUS PrivStoreImageMetadataHeader(const uint8_t (&header)[kQXImgMetadataHeaderSize]) override {
    if (QXSTATUS st = mDevice->Enter(Req::StoreHeader, 0)) {
      return st;
    }
    std::lock_guard<std::mutex> lock(mDevice->mMutex);
    mDevice->mHeader.assign(header, header + kQXImgMetadataHeaderSize);
    return QXSTATUS_SUCCESS;
  }
  QXSTATUS PrivCheckImageCompatibility(uint8_t targetId, uint32_t& requestStatus) override {
    requestStatus = 0;
    if (QXSTATUS st = mDevice->Enter(Req::CheckCompatibility, targetId)) {
      return st;
    }
    const uint32_t answer = mDevice->compatibilityAnswer;
    requestStatus = answer == 0 ? 0 : (0xEE000000u | (answer & 0x3FFFu));
    return QXSTATUS_SUCCESS;
  }
  QXSTATUS PrivGetUnlockToken(uint8_t targetId, uint8_t (&token)[kQXUnlockTokenSize]) override {
    std::memset(token, 0, sizeof(token));
    if (QXSTATUS st = mDevice->Enter(Req::GetToken, targetId)) {
      return st;
    }
    std::lock_guard<std::mutex> lock(mDevice->mMutex);
    std::random_device random;
    for (uint8_t& b : mDevice->mChallenge) {
      b = static_cast<uint8_t>(random());
    }
    token[0] = mDevice->tokenSize;
    token[1] = mDevice->tokenKeyGeneration;
    std::memcpy(token + 16, mDevice->mChallenge, 64);
    return QXSTATUS_SUCCESS;
  }
  QXSTATUS ResetDevice() override {
    if (QXSTATUS st = mDevice->Enter(Req::Reset, 0)) {
      return st;
    }
    if (!mDevice->canReset) {
      return QXSTATUS_NOT_SUPPORTED;
    }
    std::lock_guard<std::mutex> lock(mDevice->mMutex);
    mDevice->connected = false;  // leaves the bus and starts its firmware
    return QXSTATUS_SUCCESS;
  }
  QXSTATUS PrivUnlockTarget(const uint8_t (&unlockRequest)[kQXUnlockRequestSize]) override {
    if (QXSTATUS st = mDevice->Enter(Req::Unlock, 0)) {
      return st;
    }
    std::lock_guard<std::mutex> lock(mDevice->mMutex);
    uint8_t key[kQXUnlockKeySize];
    QXAssembleUnlockKeyGeneration0(key);
    QXHmacSha256 hmac;
    uint8_t expected[kQXSha256HashSize];
    EXPECT_EQ(hmac.Reset(key, sizeof(key)), kQXShaSuccess);
    EXPECT_EQ(hmac.Input(mDevice->mChallenge, sizeof(mDevice->mChallenge)), kQXShaSuccess);
    EXPECT_EQ(hmac.Result(expected), kQXShaSuccess);
    if (std::memcmp(expected, unlockRequest, sizeof(expected)) != 0) {
      return QXSTATUS_USB_STALL;
    }
    mDevice->mUnlocked = true;
    return QXSTATUS_SUCCESS;
  }

 private:
  std::shared_ptr<ScriptedDfuDevice> mDevice;
};

// Installs the scripted port for every session opened while it lives, and a poll-wait
// observer that records the requested waits instead of sleeping.
class ScriptedPortInstaller : public DfuPollWaitObserver {
 public:
  explicit ScriptedPortInstaller(std::shared_ptr<ScriptedDfuDevice> device) {
    Current() = std::move(device);
    SetDfuDevicePortFactory(&Create);
    SetDfuPollWaitObserver(this);
  }
  ~ScriptedPortInstaller() override {
    SetDfuPollWaitObserver(nullptr);
    SetDfuDevicePortFactory(nullptr);
    Current().reset();
  }

  void OnPollWait(uint32_t milliseconds) override {
    std::lock_guard<std::mutex> lock(mMutex);
    mWaits.push_back(milliseconds);
  }
  std::vector<uint32_t> Waits() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mWaits;
  }

 private:
  static std::shared_ptr<ScriptedDfuDevice>& Current() {
    static std::shared_ptr<ScriptedDfuDevice> device;
    return device;
  }
  static std::unique_ptr<DfuDevicePortInterface> Create() { return std::make_unique<ScriptedDfuPort>(Current()); }

  mutable std::mutex mMutex;
  std::vector<uint32_t> mWaits;
};

}  // namespace fbdev
