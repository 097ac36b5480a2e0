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
  // A busy device is given up on only when it has used both its polls and its time: the
  // GETSTATUS polls in dfuDNBUSY per data block, and in dfuMANIFEST...
  static constexpr uint32_t kDownloadPollLimit = 50;
  static constexpr uint32_t kManifestationPollLimit = 50;
  // ...and the time the host waited between those polls, per data block and for the
  // manifestation.
  static constexpr uint32_t kBlockBusyBudgetMs = 10000;
  static constexpr uint32_t kManifestationBudgetMs = 30000;
  // The wait between two polls of a busy device that announces a bwPollTimeout of 0.
  static constexpr uint32_t kMinBusyPollWaitMs = 10;
  // The longest wait for one announced bwPollTimeout; longer ones are cut to it.
  static constexpr uint32_t kPollTimeoutCeilingMs = 5000;
  // dfuDNLOAD_SYNC or dfuMANIFEST_SYNC answers in a row before the device counts as stuck.
  static constexpr uint32_t kSyncAnswerLimit = 8;
  // After a stop request in dfuDNLOAD_SYNC or dfuDNBUSY: how long the host waits for the
  // device to take the block before it may send DFU_ABORT.
  static constexpr uint32_t kStopSettleBudgetMs = 2000;
  // How long a device that failed a status request after the closing block has to leave the
  // bus before the failure counts.
  static constexpr uint32_t kDeviceLeaveGraceMs = 2000;
  static constexpr uint32_t kDeviceLeavePollMs = 10;
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

  // Whether the device left the bus (or was reset) to start its firmware at the end of the
  // last upgrade; its session then has nothing more to send it.
  bool HasLeftAfterUpgrade() const { return mLeftAfterUpgrade.load(std::memory_order_acquire); }

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
  QXSTATUS WaitForManifestation(uint16_t blockNumber);
  // The end of a manifestation in which the device left the bus, or waits for a USB reset.
  QXSTATUS ManifestationLeftBus();
  QXSTATUS ResetAfterManifestation();
  // Whether the device has left the bus, or leaves it within kDeviceLeaveGraceMs.
  bool DeviceLeavesBus();
  // The wait a status answer asks for before the next poll: bwPollTimeout cut to the ceiling
  // (with a warning), kMinBusyPollWaitMs for a busy answer of 0, rounded up to the clock
  // resolution; 0 for no wait.
  uint32_t PollWaitTime(uint32_t bwPollTimeout, bool busy);
  // Sleeps waitMs; with stopCutsShort a stop request ends the sleep early.
  void PollWait(uint32_t waitMs, bool stopCutsShort);
  // Sends DFU_ABORT after a stop request, in a state that takes it; a failure is only logged.
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
  // Written by the worker, read by RebootDevice once the worker was joined.
  std::atomic<bool> mLeftAfterUpgrade{false};
  bool mPollCeilingWarned = false;  // worker only
};

}  // namespace plendrik
