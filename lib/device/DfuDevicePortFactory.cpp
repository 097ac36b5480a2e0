// The port the product creates while no transport-backed port is linked in: every operation
// answers QXSTATUS_NOT_SUPPORTED, so opening a device fails cleanly.
#include "device/DfuDevicePortFactory.h"

namespace plendrik {
namespace {

class DfuDevicePortUnsupported final : public DfuDevicePortInterface {
 public:
  QXSTATUS OpenPortDevice(DfuEnumeratorPortInterface*, uint32_t) override { return QXSTATUS_NOT_SUPPORTED; }
  bool IsDeviceConnected() override { return false; }
  bool IsDownloadCapable() override { return false; }
  bool IsManifestationTolerant() override { return false; }
  uint32_t GetTransferSize() override { return 0; }
  QXSTATUS GetCurrentRunMode(uint32_t&) override { return QXSTATUS_NOT_SUPPORTED; }
  QXSTATUS GetDevicePropertyUint(uint32_t, uint32_t&) override { return QXSTATUS_NOT_SUPPORTED; }
  QXSTATUS GetDevicePropertyString(uint32_t, QXWChar*, uint32_t) override { return QXSTATUS_NOT_SUPPORTED; }
  QXSTATUS RebootDevice(uint32_t, uint32_t) override { return QXSTATUS_NOT_SUPPORTED; }
  QXSTATUS SelectTarget(uint8_t, uint32_t) override { return QXSTATUS_NOT_SUPPORTED; }
  QXSTATUS DfuDnload(QXDfuBlock, uint16_t) override { return QXSTATUS_NOT_SUPPORTED; }
  QXSTATUS DfuGetStatus(uint8_t (&)[kQXDfuStatusRecordSize]) override { return QXSTATUS_NOT_SUPPORTED; }
  QXSTATUS DfuClrStatus() override { return QXSTATUS_NOT_SUPPORTED; }
  QXSTATUS DfuAbort() override { return QXSTATUS_NOT_SUPPORTED; }
  QXSTATUS DfuGetState(uint8_t&) override { return QXSTATUS_NOT_SUPPORTED; }
  QXSTATUS PrivStoreImageMetadataHeader(const uint8_t (&)[kQXImgMetadataHeaderSize]) override {
    return QXSTATUS_NOT_SUPPORTED;
  }
  QXSTATUS PrivCheckImageCompatibility(uint8_t, uint32_t&) override { return QXSTATUS_NOT_SUPPORTED; }
  QXSTATUS PrivGetUnlockToken(uint8_t, uint8_t (&)[kQXUnlockTokenSize]) override { return QXSTATUS_NOT_SUPPORTED; }
  QXSTATUS PrivUnlockTarget(const uint8_t (&)[kQXUnlockRequestSize]) override { return QXSTATUS_NOT_SUPPORTED; }
};

}  // namespace

std::unique_ptr<DfuDevicePortInterface> CreateDfuDevicePort() { return std::make_unique<DfuDevicePortUnsupported>(); }

}  // namespace plendrik
