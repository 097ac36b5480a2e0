#include "discovery/QXWinUsbDevInstanceId.h"

#include "diag/QXLog.h"
#include "diag/QXNumeric.h"

namespace plendrik {

namespace {

bool HasTextAt(const QXWString& text, size_t pos, const char* ascii) {
  for (size_t i = 0; ascii[i] != '\0'; ++i) {
    if (pos + i >= text.size() || text[pos + i] != static_cast<QXWChar>(ascii[i])) {
      return false;
    }
  }
  return true;
}

// Converts the up to `digits` hexadecimal characters at pos.
QXSTATUS ConvertField(const QXWString& hwid, size_t pos, size_t digits, QXWString& field, int32_t& value) {
  field = hwid.substr(pos, digits);
  uint32_t number = 0;
  const QXSTATUS st = QXConvertStringToNumeric(field.c_str(), number);
  value = st == QXSTATUS_SUCCESS ? static_cast<int32_t>(number) : -1;
  return st;
}

}  // namespace

QXSTATUS ExtractUsbIdsFromHardwareId(QXUsbDeviceIdentifiers& ids, const std::vector<QXWString>& hardwareIds,
                                     uint32_t hidFlag) {
  ids = QXUsbDeviceIdentifiers{};
  if (hardwareIds.empty()) {
    QX_LOG_ERROR("hwid is empty");
    return QXSTATUS_INVALID_LENGTH;
  }
  QXWString hwid = hardwareIds.front();
  for (QXWChar& c : hwid) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<QXWChar>(c - 'a' + 'A');
    }
  }
  const size_t length = hwid.size();
  if (length < 4) {
    QX_LOG_ERROR("string length {} is unexpected, hwid={}", static_cast<uint32_t>(length), hwid);
    return QXSTATUS_INVALID_LENGTH;
  }
  if (!HasTextAt(hwid, 0, hidFlag != 0 ? "HID\\" : "USB\\")) {
    return QXSTATUS_SUCCESS;
  }
  QXWString text;
  if (length >= 12 && HasTextAt(hwid, 4, "VID_")) {
    const QXSTATUS st = ConvertField(hwid, 8, 4, text, ids.vendorId);
    if (st != QXSTATUS_SUCCESS) {
      QX_LOG_WARN("QXConvertStringToNumeric({}) failed for VID, hwid={}, st={}", text, hwid, QXSt{st});
    } else {
      QX_LOG(gLogGlobal, kQXLogLevelTrace, "USB VID = 0x{:04x}", static_cast<uint32_t>(ids.vendorId));
    }
  }
  if (length >= 21 && HasTextAt(hwid, 13, "PID_")) {
    const QXSTATUS st = ConvertField(hwid, 17, 4, text, ids.productId);
    if (st != QXSTATUS_SUCCESS) {
      QX_LOG_WARN("QXConvertStringToNumeric({}) failed for PID, hwid={}, st={}", text, hwid, QXSt{st});
    } else {
      QX_LOG(gLogGlobal, kQXLogLevelTrace, "USB PID = 0x{:04x}", static_cast<uint32_t>(ids.productId));
    }
  }
  if (length >= 30 && HasTextAt(hwid, 22, "REV_")) {
    const QXSTATUS st = ConvertField(hwid, 26, 4, text, ids.bcdDevice);
    if (st != QXSTATUS_SUCCESS) {
      QX_LOG_WARN("QXConvertStringToNumeric({}) failed for REV, hwid={}, st={}", text, hwid, QXSt{st});
    } else {
      QX_LOG(gLogGlobal, kQXLogLevelTrace, "USB REV = 0x{:04x}", static_cast<uint32_t>(ids.bcdDevice));
    }
  }
  if (length >= 36 && HasTextAt(hwid, 31, "MI_")) {
    const QXSTATUS st = ConvertField(hwid, 34, 2, text, ids.interfaceNumber);
    if (st != QXSTATUS_SUCCESS) {
      QX_LOG_WARN("QXConvertStringToNumeric({}) failed for MI, hwid={}, st={}", text, hwid, QXSt{st});
    } else {
      QX_LOG(gLogGlobal, kQXLogLevelTrace, "USB MI = 0x{:02x}", static_cast<uint32_t>(ids.interfaceNumber));
    }
  } else {
    ids.interfaceNumber = 0;
  }
  return QXSTATUS_SUCCESS;
}

void QXWinUsbDevInstanceId::ClearUsbIdentifiers() {
  vendorId = productId = bcdDevice = interfaceNumber = -1;
  interfaceClass = interfaceSubClass = interfaceProtocol = -1;
}

QXUsbDeviceIdentifiers QXWinUsbDevInstanceId::GetIdentifiers() const {
  return QXUsbDeviceIdentifiers{vendorId,       productId,         bcdDevice,        interfaceNumber,
                                interfaceClass, interfaceSubClass, interfaceProtocol};
}

QXSTATUS QXWinUsbDevInstanceId::InitUsbDevInstanceId(QXWinDeviceInfoList& list, uint32_t deviceIndex,
                                                     uint32_t hidFlag) {
  ClearDevInstanceId();
  ClearUsbIdentifiers();
  const QXWinDeviceInfoEntry* entry = list.GetEntry(deviceIndex);
  if (entry == nullptr) {
    QX_LOG_ERROR("deviceIndex={} is invalid", deviceIndex);
    return QXSTATUS_INVALID_INDEX;
  }
  return InitUsbDevInstanceId(list, *entry, hidFlag);
}

QXSTATUS QXWinUsbDevInstanceId::InitUsbDevInstanceId(QXWinDeviceInfoList& list, const QXWinDeviceInfoEntry& entry,
                                                     uint32_t hidFlag) {
  ClearDevInstanceId();
  ClearUsbIdentifiers();
  QXSTATUS st = InitDevInstanceId(list, entry);
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("InitDevInstanceId failed, st={}", QXSt{st});
    return st;
  }
  st = GetUsbIdentifiers(list, entry, hidFlag);
  if (st != QXSTATUS_SUCCESS) {
    // The record stays usable; with unknown identifiers it passes no vendor filter.
    QX_LOG_WARN("GetUsbIdentifiers failed, st={}", QXSt{st});
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS QXWinUsbDevInstanceId::GetUsbIdentifiers(QXWinDeviceInfoList& list, const QXWinDeviceInfoEntry& entry,
                                                  uint32_t hidFlag) {
  QXSTATUS st = QXSTATUS_SUCCESS;
  std::vector<QXWString> hardwareIds;
  QXUsbDeviceIdentifiers ids;
  do {
    st = list.GetDeviceRegistryPropertyMULTISTRING(entry, kQXSpdrpHardwareId, hardwareIds);
    if (st != QXSTATUS_SUCCESS) {
      QX_LOG_ERROR("GetDeviceRegistryPropertyMULTISTRING(SPDRP_HARDWAREID) failed, st={}", QXSt{st});
      break;
    }
    st = ExtractUsbIdsFromHardwareId(ids, hardwareIds, hidFlag);
    if (st != QXSTATUS_SUCCESS) {
      QX_LOG_ERROR("ExtractUsbIdsFromHwId failed, st={}", QXSt{st});
      break;
    }
    if (ids.vendorId < 0) {
      QX_LOG_ERROR("VID not present");
      st = QXSTATUS_MISSING_VALUE;
      break;
    }
    if (ids.productId < 0) {
      QX_LOG_ERROR("PID not present");
      st = QXSTATUS_MISSING_VALUE;
      break;
    }
    if (ids.bcdDevice < 0) {
      QX_LOG_ERROR("bcdDevice not present");
      st = QXSTATUS_MISSING_VALUE;
      break;
    }
    vendorId = ids.vendorId;
    productId = ids.productId;
    bcdDevice = ids.bcdDevice;
    interfaceNumber = ids.interfaceNumber;
    interfaceClass = ids.interfaceClass;
    interfaceSubClass = ids.interfaceSubClass;
    interfaceProtocol = ids.interfaceProtocol;
    return QXSTATUS_SUCCESS;
  } while (false);
  QX_LOG_ERROR("GetUsbIdentifiers failed, st={}", QXSt{st});
  return st;
}

}  // namespace plendrik
