// An opened device session: the object behind a device handle. It owns the device port,
// remembers the run mode the device had at open, answers property queries, reboots the device
// into its other run mode, and hosts the upgrade with its worker thread and progress fields.
//
// Locks: the session lock serializes the API calls on the session; the status lock guards
// the upgrade state and progress. They are taken in that order. The worker thread takes only
// the status lock, so FinishUpgrade and RequestCloseDevice may wait for it while they hold
// the session lock, and GetUpgradeStatus (status lock only) answers during the whole upgrade.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "device/DfuDevicePortInterface.h"
#include "os/QXIntrusiveSharedPtr.h"
#include "os/QXOsMutex.h"
#include "os/QXOsTypes.h"
#include "os/QXOsWorkerThread.h"

namespace plendrik {

class DfuEnumerator;
class DfuEnumeratorPortInterface;
class DfuImage;

class DfuDevice : public QXRefCounted {
 public:
  // GETSTATUS polls allowed in dfuDNBUSY per data block, and in dfuMANIFEST.
  static constexpr uint32_t kDownloadPollLimit = 50;
  static constexpr uint32_t kManifestationPollLimit = 50;
  static constexpr uint32_t kMaxTargetId = 255;
  // The largest block sent with one DFU_DNLOAD, whatever wTransferSize allows.
  static constexpr uint32_t kMaxBlockSize = 4096;

  DfuDevice() = default;

  // Opens the device listed at deviceIndex of an enumeration; flags must be 0.
  QXSTATUS OpenDevice(const DfuEnumerator& enumeration, uint32_t deviceIndex, uint32_t flags);
  // The same with the enumeration's port and device type given separately.
  QXSTATUS OpenDevice(DfuEnumeratorPortInterface* enumeratorPort, uint32_t deviceType, uint32_t deviceIndex,
                      uint32_t flags);

  // Stops and joins a running upgrade and marks the session closed; later calls on other
  // references answer "device is closed".
  void RequestCloseDevice();

  // Under the session lock: QXSTATUS_SUCCESS while the device answers, else
  // QXSTATUS_DEVICE_REMOVED.
  QXSTATUS CheckDeviceConnection();

  QXSTATUS GetDevicePropertyUint(uint32_t propertyId, uint32_t* propertyValue);
  // stringBufferMaxItems counts UTF-16 units, terminator included.
  QXSTATUS GetDevicePropertyString(uint32_t propertyId, QXWChar* stringBuffer, uint32_t stringBufferMaxItems);
  // flags bit 0: switch with the XMOS requests instead of DFU_DETACH.
  QXSTATUS RebootDevice(uint32_t targetRunMode, uint32_t flags);

  // The upgrade: start it on the worker, poll it, finish (or abort) it.
  QXSTATUS StartUpgrade(const QXIntrusiveSharedPtrT<DfuImage>& image, uint32_t targetId, uint32_t flags);
  // upgradeState is required; the other outputs may be null.
  QXSTATUS GetUpgradeStatus(uint32_t* upgradeState, uint64_t* currentBytes, uint64_t* totalBytes,
                            QXSTATUS* completionStatus);
  QXSTATUS FinishUpgrade(uint32_t flags);
  // Sets the stop request and joins the worker; QXSTATUS_ABORTED when the worker ended with it.
  QXSTATUS AbortPendingOperation();

  // Whether a stop was requested for the current (or last) worker; for observers and tests.
  bool IsStopRequested() const { return mWorker.IsStopRequested(); }

  // The port, for comparing the device with an enumeration entry; read without the session
  // lock (it is set once, before the session is published).
  DfuDevicePortInterface* GetDevicePort() const { return mDevicePort.get(); }

 protected:
  ~DfuDevice() override;

 private:
  static QXSTATUS ThreadRoutine(void* context);
  QXSTATUS UpgradeOperation();
  QXSTATUS PrepareForUpgrade();
  QXSTATUS EnsureDfuIDLE();
  QXSTATUS CheckImageCompatibility(DfuImage& image, uint8_t targetId);
  QXSTATUS UnlockTarget(uint8_t targetId);
  QXSTATUS DoDownload();
  // The download's polling loops; buffer-free parts of DoDownload.
  QXSTATUS WaitForBlockAcknowledged(uint16_t blockNumber, const uint8_t (&record)[kQXDfuStatusRecordSize]);
  QXSTATUS WaitForManifestation(uint16_t blockNumber, const uint8_t (&record)[kQXDfuStatusRecordSize]);
  // Sleeps for a device's bwPollTimeout rounded up to the clock resolution (never for 0); a stop
  // request ends the sleep early.
  void PollWait(uint32_t pollTimeoutMs);
  // Sends DFU_ABORT after a stop request; a failure is only logged.
  void AbortOnStopRequest();

  // Status lock held.
  void SetUpgradeStateImpl(uint32_t newState);
  void SetUpgradeState(uint32_t newState, QXSTATUS completionStatus);
  // Session lock held: "device is closed" / "device is rebooting".
  QXSTATUS CheckSessionUsable() const;

  QXOsThreadMutex mSessionLock;
  std::unique_ptr<DfuDevicePortInterface> mDevicePort;
  QXOsWorkerThread mWorker;
  // Written under the session lock; GetUpgradeStatus reads it without.
  std::atomic<uint32_t> mRunMode{QXDFU_RUN_MODE_UNKNOWN};
  QXOsThreadMutex mStatusLock;
  uint32_t mUpgradeState = QXDFU_UPGRADE_STATE_IDLE;
  uint64_t mTotalBytes = 0;
  uint64_t mCurrentBytes = 0;
  QXSTATUS mCompletionStatus = QXSTATUS_SUCCESS;
  uint8_t mTargetId = 0;
  uint32_t mUpgradeFlags = 0;
  QXIntrusiveSharedPtrT<DfuImage> mImage;
  const uint32_t mDownloadPollLimit = kDownloadPollLimit;
  const uint32_t mManifestationPollLimit = kManifestationPollLimit;
  bool mRebooting = false;
  bool mClosed = false;
};

}  // namespace plendrik
