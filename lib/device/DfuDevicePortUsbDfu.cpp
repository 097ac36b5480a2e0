#include "device/DfuDevicePortUsbDfu.h"

#include <cstring>
#include <vector>

#include "diag/QXLog.h"
#include "diag/QXStringBuffer.h"
#include "discovery/DfuEnumeratorPortUsbDfu.h"
#include "flashbridge.h"
#include "os/QXWinErrors.h"
#include "usb/QXUsbConfigDescriptor.h"

namespace plendrik {

static_assert(kQXDfuStatusRecordSize == kDfuGetStatusRecordLength);

namespace {

// The request type field of ClassOrVendorOutRequest / ClassOrVendorInRequest.
constexpr uint8_t kUsbRequestTypeClass = 1;
constexpr uint8_t kUsbRequestTypeVendor = 2;

constexpr uint32_t kInterfaceDescriptorLength = 9;
constexpr uint8_t kInterfaceDescriptorType = 4;
constexpr uint32_t kDeviceDescriptorLength = 18;
constexpr uint32_t kDfuVersionCode11 = 2;
constexpr uint32_t kCompatibilityLength = 4;

}  // namespace

DfuDevicePortUsbDfu::~DfuDevicePortUsbDfu() {
  mDfuInterface.CloseUsbInterface();
  mUsbDevice.CloseUsbDevice();
}

QXSTATUS DfuDevicePortUsbDfu::OpenPortDevice(DfuEnumeratorPortInterface* enumeratorPort, uint32_t deviceIndex) {
  auto* usbEnumeratorPort = dynamic_cast<DfuEnumeratorPortUsbDfu*>(enumeratorPort);
  if (usbEnumeratorPort == nullptr) {
    QX_LOG_ERROR("invalid enumerator type");
    return QXSTATUS_INVALID_PARAMETER;
  }

  QXWinUsbDevInstanceId entry;
  QXSTATUS st = usbEnumeratorPort->GetUsbDevInstanceId(deviceIndex, entry);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("GetUsbDevInstanceId failed, st={}", QXSt{st});
    return st;
  }

  st = mUsbDevice.OpenUsbDevice(entry.devicePath);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("OpenUsbDevice failed, st={}", QXSt{st});
    return st;
  }
  mDeviceIdentity = entry;

  // An unknown interface number (-1) is far above 255 and refused by the interface.
  const uint32_t interfaceNumber = static_cast<uint32_t>(entry.interfaceNumber);
  st = mDfuInterface.OpenUsbInterface(&mUsbDevice, interfaceNumber);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("OpenUsbInterface({}) failed, st={}", interfaceNumber, QXSt{st});
    return st;
  }
  st = mDfuInterface.ClaimUsbInterface();
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("ClaimUsbInterface failed, st={}", QXSt{st});
    return QXSTATUS_IN_USE;
  }

  std::vector<uint8_t> config;
  st = mUsbDevice.GetConfigurationDescriptor(config);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("GetConfigurationDescriptor failed, st={}", QXSt{st});
    return st;
  }
  QXUsbConfigDescriptor view(config);
  const uint8_t* configEnd = config.data() + config.size();

  // The first interface descriptor of the entry's interface, whatever its alternate setting.
  const auto* dfuInterface = view.FindInterfaceDescriptor(static_cast<int>(interfaceNumber));
  if (dfuInterface == nullptr) {
    QX_LOG_ERROR("missing DFU interface");
    return QXSTATUS_INVALID_DESCRIPTOR;
  }
  std::memcpy(mDfuInterfaceDescriptor, dfuInterface, kInterfaceDescriptorLength);

  // The DFU interface, its alternate settings included, ends at the next interface.
  const auto* nextInterface = view.FindNextInterfaceDescriptor(dfuInterface);
  const uint8_t* interfaceEnd = nextInterface != nullptr ? reinterpret_cast<const uint8_t*>(nextInterface) : configEnd;
  mDfuAlternateSettings = 0;
  for (const uint8_t* d = reinterpret_cast<const uint8_t*>(dfuInterface);
       d < interfaceEnd && view.IsDescriptorValid(d, 2); d += d[0]) {
    if (d[1] == kInterfaceDescriptorType && d[0] >= kInterfaceDescriptorLength && d[2] == interfaceNumber) {
      ++mDfuAlternateSettings;
    }
  }

  // The functional descriptor: every descriptor on the way from the interface descriptor must
  // be valid and at least as long as a functional descriptor, so a walk over anything else
  // (an endpoint, a truncated descriptor) finds none.
  const uint8_t* functional = nullptr;
  for (const uint8_t* current = reinterpret_cast<const uint8_t*>(dfuInterface);;) {
    const uint8_t* next = current + current[0];
    if (next >= configEnd || !view.IsDescriptorValid(next, kDfuFunctionalDescriptorLength)) {
      break;
    }
    if (next[1] == kDfuFunctionalDescriptorType) {
      functional = next;
      break;
    }
    current = next;
  }
  if (functional == nullptr) {
    QX_LOG_ERROR("missing DFU functional descriptor");
    return QXSTATUS_INVALID_DESCRIPTOR;
  }
  if (functional >= interfaceEnd) {
    QX_LOG_ERROR("DFU functional descriptor not within DFU interface");
    return QXSTATUS_INVALID_DESCRIPTOR;
  }

  uint8_t functionalBytes[kDfuFunctionalDescriptorLength];
  std::memcpy(functionalBytes, functional, sizeof(functionalBytes));
  const DfuFunctionalDescriptor decoded = DecodeDfuFunctionalDescriptor(functionalBytes);
  if (decoded.bcdDFUVersion != kDfuVersion11) {
    QX_LOG_ERROR("device reports unsupported DFU version {:#x}", decoded.bcdDFUVersion);
    return QXSTATUS_VERSION_MISMATCH;
  }
  // A bootloader that takes blocks of 0 bytes cannot be downloaded to: every DFU_DNLOAD
  // would be a zero-length one, which the device takes as the end of the image and then
  // manifests what it has. Such a device is refused before anything is sent to it.
  if (decoded.wTransferSize == 0 && dfuInterface->bInterfaceProtocol == kDfuInterfaceProtocolDfuMode) {
    QX_LOG_ERROR("device reports wTransferSize 0 in DFU mode, no download possible");
    return QXSTATUS_INVALID_DESCRIPTOR;
  }
  mDfuVersionCode = kDfuVersionCode11;
  std::memcpy(mDfuFunctionalDescriptor, functionalBytes, sizeof(functionalBytes));

  st = CacheInformation();
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("CacheInformation failed, st={}", QXSt{st});
    return st;
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuDevicePortUsbDfu::CacheInformation() {
  std::memset(mDeviceDescriptor, 0, sizeof(mDeviceDescriptor));
  const QXSTATUS st = mUsbDevice.GetDescriptor({mDeviceDescriptor, kDeviceDescriptorLength}, 1, 0, 0, nullptr);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("GetDeviceDescriptor failed, st={}", QXSt{st});
    return st;
  }

  const uint8_t* d = mDeviceDescriptor;
  QX_LOG_INFO("Device Descriptor:");
  QX_LOG_INFO("   bcdUSB          {:#x}", DeviceDescriptorWord(2));
  QX_LOG_INFO("   bDeviceClass    {:#x}", d[4]);
  QX_LOG_INFO("   bDeviceSubClass {:#x}", d[5]);
  QX_LOG_INFO("   bDeviceProtocol {:#x}", d[6]);
  QX_LOG_INFO("   bMaxPacketSize0 {:#x}", d[7]);
  QX_LOG_INFO("   idVendor        {:#x}", DeviceDescriptorWord(8));
  QX_LOG_INFO("   idProduct       {:#x}", DeviceDescriptorWord(10));
  QX_LOG_INFO("   bcdDevice       {:#x}", DeviceDescriptorWord(12));
  QX_LOG_INFO("   iManufacturer   {:#x}", d[14]);
  QX_LOG_INFO("   iProduct        {:#x}", d[15]);
  QX_LOG_INFO("   iSerialNumber   {:#x}", d[16]);
  QX_LOG_INFO("   bNumConfigurations {:#x}", d[17]);

  // A string that cannot be read stays empty; the device is usable without it.
  struct StringSlot {
    uint8_t index;
    const char* what;
    QXWString& string;
  };
  const StringSlot slots[] = {
      {d[14], "manufacturer", mManufacturer}, {d[15], "product", mProduct}, {d[16], "serial", mSerialNumber}};
  for (const StringSlot& slot : slots) {
    slot.string.clear();
    if (slot.index == 0) {
      continue;
    }
    const uint16_t languageId = mUsbDevice.FirstSupportedLanguageId();
    const QXSTATUS stringSt = mUsbDevice.GetStringDescriptorString(slot.string, slot.index, languageId);
    if (stringSt != QXSTATUS_SUCCESS) {
      QX_LOG_WARN("GetStringDescriptorString({}) failed, st={}", slot.what, QXSt{stringSt});
      slot.string.clear();
    }
  }
  return QXSTATUS_SUCCESS;
}

uint16_t DfuDevicePortUsbDfu::DeviceDescriptorWord(uint32_t offset) const {
  return static_cast<uint16_t>(mDeviceDescriptor[offset] | (mDeviceDescriptor[offset + 1] << 8));
}

bool DfuDevicePortUsbDfu::IsDeviceConnected() {
  if (!mUsbDevice.IsOpen()) {
    return false;
  }
  uint8_t speed = 0;
  return mUsbDevice.QueryDeviceSpeed(speed) == QXSTATUS_SUCCESS;
}

bool DfuDevicePortUsbDfu::IsDownloadCapable() { return (FunctionalDescriptor().bmAttributes & kDfuAttrCanDnload) != 0; }

bool DfuDevicePortUsbDfu::IsManifestationTolerant() {
  return (FunctionalDescriptor().bmAttributes & kDfuAttrManifestationTolerant) != 0;
}

uint32_t DfuDevicePortUsbDfu::GetTransferSize() { return FunctionalDescriptor().wTransferSize; }

QXSTATUS DfuDevicePortUsbDfu::GetCurrentRunMode(uint32_t& runMode) {
  if (mDfuVersionCode != kDfuVersionCode11) {
    QX_LOG_WARN("unsupported DFU version {}, set run mode to unknown", mDfuVersionCode);
    runMode = QXDFU_RUN_MODE_UNKNOWN;
    return QXSTATUS_SUCCESS;
  }
  const uint8_t protocol = mDfuInterfaceDescriptor[7];
  switch (protocol) {
    case kDfuInterfaceProtocolRuntime:
      runMode = QXDFU_RUN_MODE_APPLICATION;
      break;
    case kDfuInterfaceProtocolDfuMode:
      runMode = QXDFU_RUN_MODE_BOOTLOADER;
      break;
    default:
      QX_LOG_WARN("unknown bInterfaceProtocol {:#X}, set run mode to unknown", protocol);
      runMode = QXDFU_RUN_MODE_UNKNOWN;
      break;
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuDevicePortUsbDfu::GetDevicePropertyUint(uint32_t propertyId, uint32_t& value) {
  switch (propertyId) {
    case QXDFU_DEVICE_PROPERTY_VENDOR_ID:
      value = DeviceDescriptorWord(8);
      return QXSTATUS_SUCCESS;
    case QXDFU_DEVICE_PROPERTY_PRODUCT_ID:
      value = DeviceDescriptorWord(10);
      return QXSTATUS_SUCCESS;
    case QXDFU_DEVICE_PROPERTY_BCD_DEVICE:
      value = DeviceDescriptorWord(12);
      return QXSTATUS_SUCCESS;
    default:
      QX_LOG_ERROR("unknown propertyId {}", propertyId);
      return QXSTATUS_INVALID_PARAMETER;
  }
}

QXSTATUS DfuDevicePortUsbDfu::GetDevicePropertyString(uint32_t propertyId, QXWChar* stringBuffer,
                                                      uint32_t stringBufferMaxItems) {
  switch (propertyId) {
    case QXDFU_DEVICE_PROPERTY_MANUFACTURER:
      return QXCopyStringToStringBuffer(mManufacturer, stringBuffer, stringBufferMaxItems);
    case QXDFU_DEVICE_PROPERTY_PRODUCT:
      return QXCopyStringToStringBuffer(mProduct, stringBuffer, stringBufferMaxItems);
    case QXDFU_DEVICE_PROPERTY_SERIAL_NUMBER:
      return QXCopyStringToStringBuffer(mSerialNumber, stringBuffer, stringBufferMaxItems);
    case QXDFU_DEVICE_PROPERTY_DEVICE_INSTANCE_ID:
      return QXCopyStringToStringBuffer(mDeviceIdentity.instanceId, stringBuffer, stringBufferMaxItems);
    case QXDFU_DEVICE_PROPERTY_CONTAINER_ID:
      return QXCopyStringToStringBuffer(mDeviceIdentity.GetContainerIdString(), stringBuffer, stringBufferMaxItems);
    default:
      QX_LOG_ERROR("unknown propertyId {}", propertyId);
      return QXSTATUS_INVALID_PARAMETER;
  }
}

QXSTATUS DfuDevicePortUsbDfu::SelectAlternateSetting(uint8_t alternateSetting) {
  const QXSTATUS st = mDfuInterface.SetAlternateSetting(alternateSetting);
  if ((st == kQXErrorGenFailure || st == QXSTATUS_USB_STALL) && alternateSetting == 0 && mDfuAlternateSettings == 1) {
    QX_LOG_WARN("SET_INTERFACE stalled, st={}; the DFU interface has only alternate setting 0, ignoring this error",
                QXSt{st});
    return QXSTATUS_SUCCESS;
  }
  return st;
}

QXSTATUS DfuDevicePortUsbDfu::ResetDevice() { return mUsbDevice.ResetUsbDevice(); }

void DfuDevicePortUsbDfu::ResetAfterRebootRequest(bool requestFailed) {
  const bool willDetach = (FunctionalDescriptor().bmAttributes & kDfuAttrWillDetach) != 0;
  // DFU_DETACH belongs to the run-time interface: a bootloader may refuse it, and then
  // leaves DFU mode only through a USB reset.
  const bool refusedInDfuMode = requestFailed && mDfuInterfaceDescriptor[7] == kDfuInterfaceProtocolDfuMode;
  if (willDetach && !refusedInDfuMode) {
    return;
  }
  const QXSTATUS st = ResetDevice();
  if (st == QXSTATUS_SUCCESS) {
    QX_LOG_INFO("USB reset issued, the device enumerates again");
  } else if (st == QXSTATUS_NOT_SUPPORTED) {
    if (!willDetach) {
      QX_LOG_WARN("device will not detach, but issuing an USB reset is not supported");
    } else {
      QX_LOG_WARN("device refused DFU_DETACH in DFU mode, but issuing an USB reset is not supported");
    }
  } else {
    // The device may be gone already.
    QX_LOG_WARN("ResetDevice failed, st={}, ignoring this error", QXSt{st});
  }
}

QXSTATUS DfuDevicePortUsbDfu::RebootDevice(uint32_t targetRunMode, uint32_t flags) {
  QXSTATUS st = SelectAlternateSetting(0);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("SetAlternateSetting failed, st={}", QXSt{st});
    return st;
  }
  const bool xmos = (flags & QXDFU_REBOOT_FLAG_USE_XMOS_DFU_EXTENSIONS) != 0;
  uint8_t request = 0;
  uint16_t value = 0;
  switch (targetRunMode) {
    case QXDFU_RUN_MODE_APPLICATION:
    case QXDFU_RUN_MODE_BOOTLOADER:
      if (xmos) {
        request = targetRunMode == QXDFU_RUN_MODE_BOOTLOADER ? kXmosDfuResetIntoDfu : kXmosDfuResetFromDfu;
      } else {
        request = kDfuDetach;
        value = FunctionalDescriptor().wDetachTimeOut;
      }
      break;
    default:
      QX_LOG_ERROR("invalid targetRunMode {}", targetRunMode);
      return QXSTATUS_INVALID_PARAMETER;
  }
  uint32_t transferred = 0;
  st = OutRequest(kUsbRequestTypeClass, request, value, nullptr, 0, mRequestTimeoutMs, transferred);
  if (st != QXSTATUS_SUCCESS) {
    // The device may leave the bus before it answers the request.
    QX_LOG_WARN("ClassOrVendorOutRequest(bRequest={:#X}) failed, st={}, ignoring this error", request, QXSt{st});
  }
  if (!xmos) {
    ResetAfterRebootRequest(st != QXSTATUS_SUCCESS);
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuDevicePortUsbDfu::SelectTarget(uint8_t targetId, uint32_t flags) {
  if ((flags & QXDFU_UPGRADE_FLAG_USE_XMOS_DFU_EXTENSIONS) != 0) {
    uint32_t transferred = 0;
    const QXSTATUS st =
        OutRequest(kUsbRequestTypeClass, kXmosDfuSelectImage, targetId, nullptr, 0, mRequestTimeoutMs, transferred);
    if (st != QXSTATUS_SUCCESS) {
      QX_LOG_ERROR("ClassOrVendorOutRequest(XMOS_DFU_SELECTIMAGE) failed, st={}", QXSt{st});
    }
    return st;
  }
  const QXSTATUS st = SelectAlternateSetting(targetId);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("SetAlternateSetting(AS={:#X} failed, st={}", targetId, QXSt{st});
  }
  return st;
}

QXSTATUS DfuDevicePortUsbDfu::DfuDnload(QXDfuBlock block, uint16_t blockNumber) {
  // wLength is 16 bits: a longer block would be cut short on its way into the setup packet.
  if (block.length > 0xFFFF || (block.length != 0 && block.data == nullptr)) {
    QX_LOG_ERROR("invalid block, length {}", block.length);
    return QXSTATUS_INVALID_PARAMETER;
  }
  return SendOut(kUsbRequestTypeClass, kDfuDnload, blockNumber, block.data, static_cast<uint32_t>(block.length),
                 mDownloadTimeoutMs);
}

QXSTATUS DfuDevicePortUsbDfu::DfuGetStatus(uint8_t (&record)[kQXDfuStatusRecordSize]) {
  std::memset(record, 0, sizeof(record));
  return SendIn(kUsbRequestTypeClass, kDfuGetStatus, 0, record, sizeof(record));
}

QXSTATUS DfuDevicePortUsbDfu::DfuClrStatus() {
  return SendOut(kUsbRequestTypeClass, kDfuClrStatus, 0, nullptr, 0, mRequestTimeoutMs);
}

QXSTATUS DfuDevicePortUsbDfu::DfuAbort() {
  return SendOut(kUsbRequestTypeClass, kDfuAbort, 0, nullptr, 0, mRequestTimeoutMs);
}

QXSTATUS DfuDevicePortUsbDfu::DfuGetState(uint8_t& state) {
  state = 0;
  return SendIn(kUsbRequestTypeClass, kDfuGetState, 0, &state, 1);
}

QXSTATUS DfuDevicePortUsbDfu::PrivStoreImageMetadataHeader(const uint8_t (&header)[kQXImgMetadataHeaderSize]) {
  return SendOut(kUsbRequestTypeVendor, kPrivStoreImageMetadataHeader, 0, header, sizeof(header), mRequestTimeoutMs);
}

QXSTATUS DfuDevicePortUsbDfu::PrivCheckImageCompatibility(uint8_t targetId, uint32_t& requestStatus) {
  requestStatus = QXSTATUS_SUCCESS;
  uint8_t answer[kCompatibilityLength] = {};
  const QXSTATUS st = SendIn(kUsbRequestTypeVendor, kPrivCheckImageCompatibility, targetId, answer, sizeof(answer));
  if (st != QXSTATUS_SUCCESS) {
    return st;
  }
  const uint32_t value = static_cast<uint32_t>(answer[0]) | (static_cast<uint32_t>(answer[1]) << 8) |
                         (static_cast<uint32_t>(answer[2]) << 16) | (static_cast<uint32_t>(answer[3]) << 24);
  if (value != 0) {
    // The device's code, in the library's own status range.
    requestStatus = 0xEE000000u | (value & 0x3FFFu);
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuDevicePortUsbDfu::PrivGetUnlockToken(uint8_t targetId, uint8_t (&token)[kQXUnlockTokenSize]) {
  std::memset(token, 0, sizeof(token));
  return SendIn(kUsbRequestTypeVendor, kPrivGetUnlockToken, targetId, token, sizeof(token));
}

QXSTATUS DfuDevicePortUsbDfu::PrivUnlockTarget(const uint8_t (&unlockRequest)[kQXUnlockRequestSize]) {
  return SendOut(kUsbRequestTypeVendor, kPrivUnlockTarget, 0, unlockRequest, sizeof(unlockRequest), mRequestTimeoutMs);
}

QXSTATUS DfuDevicePortUsbDfu::OutRequest(uint8_t requestType, uint8_t request, uint16_t value, const void* data,
                                         uint32_t length, uint32_t timeoutMs, uint32_t& transferred) {
  transferred = 0;
  // The transport only reads the data of a host-to-device request.
  const QXUsbBuffer buffer{const_cast<void*>(data), length};
  return mDfuInterface.ClassOrVendorOutRequest(requestType, request, value, buffer, &transferred,
                                               static_cast<int32_t>(timeoutMs));
}

QXSTATUS DfuDevicePortUsbDfu::InRequest(uint8_t requestType, uint8_t request, uint16_t value, void* data,
                                        uint32_t length, uint32_t& transferred) {
  transferred = 0;
  return mDfuInterface.ClassOrVendorInRequest(requestType, request, value, {data, length}, &transferred,
                                              static_cast<int32_t>(mRequestTimeoutMs));
}

QXSTATUS DfuDevicePortUsbDfu::CheckLength(uint32_t transferred, uint32_t expected) {
  if (transferred != expected) {
    QX_LOG_ERROR("unexpected length {}, exp. {}", transferred, expected);
    return QXSTATUS_LENGTH_MISMATCH;
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS DfuDevicePortUsbDfu::SendOut(uint8_t requestType, uint8_t request, uint16_t value, const void* data,
                                      uint32_t length, uint32_t timeoutMs) {
  uint32_t transferred = 0;
  const QXSTATUS st = OutRequest(requestType, request, value, data, length, timeoutMs, transferred);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("ClassOrVendorOutRequest failed, st={}", QXSt{st});
    return st;
  }
  // Requests without a data stage do not look at the count.
  return length != 0 || request == kDfuDnload ? CheckLength(transferred, length) : QXSTATUS_SUCCESS;
}

QXSTATUS DfuDevicePortUsbDfu::SendIn(uint8_t requestType, uint8_t request, uint16_t value, void* data,
                                     uint32_t length) {
  uint32_t transferred = 0;
  const QXSTATUS st = InRequest(requestType, request, value, data, length, transferred);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("ClassOrVendorInRequest failed, st={}", QXSt{st});
    return st;
  }
  return CheckLength(transferred, length);
}

}  // namespace plendrik
