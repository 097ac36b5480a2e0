// The USB front layer: device and interface objects over a driver type bundle, with the
// state checks ("already open", "not opened") and the descriptor and request helpers that
// the DFU port uses.
#pragma once

#include <cstdint>
#include <new>
#include <vector>

#include "diag/QXLog.h"
#include "usb/QXUsbStringDescriptor.h"
#include "usb/QXWinusbDrvTypes.h"

namespace plendrik {

template <class Types>
class QXOsUsbDeviceT : public Types::Device {
 public:
  QXSTATUS OpenUsbDevice(const QXWString& devicePath) {
    if (this->IsOpen()) {
      QX_LOG_ERROR("Device already open");
      return QXSTATUS_ALREADY_OPEN;
    }
    return Types::Device::OpenUsbDevice(devicePath);
  }

  QXSTATUS GetDeviceDescriptor(QXUsbBuffer buffer, uint32_t* transferred) {
    return this->GetDescriptor(buffer, 1, 0, 0, transferred);
  }

  // Reads the configuration descriptor afresh: its header, then wTotalLength bytes.
  QXSTATUS GetConfigurationDescriptor(std::vector<uint8_t>& buffer) {
    uint8_t header[9];
    uint32_t count = 0;
    QXSTATUS st = this->GetDescriptor({header, sizeof(header)}, 2, 0, 0, &count);
    if (st == QXSTATUS_SUCCESS && count < sizeof(header)) {
      st = QXSTATUS_INVALID_DESCRIPTOR;
    }
    if (st != QXSTATUS_SUCCESS) {
      QX_LOG_ERROR("GetConfigDescLengthImpl() failed, err={}", QXSt{st});
      return st;
    }
    const uint32_t totalLength = static_cast<uint32_t>(header[2] | (header[3] << 8));
    try {
      buffer.assign(totalLength, 0);
    } catch (const std::bad_alloc&) {
      return QXSTATUS_NO_MEMORY;
    }
    st = this->GetDescriptor({buffer.data(), totalLength}, 2, 0, 0, &count);
    if (st != QXSTATUS_SUCCESS) {
      QX_LOG_ERROR("GetConfigDescImpl() failed, err={}", QXSt{st});
      buffer.clear();
      return st;
    }
    // A device that answers fewer bytes than it announced leaves no stale zeros behind.
    buffer.resize(count < totalLength ? count : totalLength);
    return QXSTATUS_SUCCESS;
  }

  // The first LANGID of the device, read once; 0 (also cached) when it cannot be read.
  uint16_t FirstSupportedLanguageId() {
    if (!this->mLanguageIdKnown) {
      std::vector<uint16_t> list;
      const QXSTATUS st = this->GetLanguageIdListImpl(list);
      if (st != QXSTATUS_SUCCESS || list.empty()) {
        QX_LOG_ERROR("GetLanguageIdListImpl() failed, err={}",
                     QXSt{st != QXSTATUS_SUCCESS ? st : QXSTATUS_INVALID_DESCRIPTOR});
        this->mLanguageId = 0;
      } else {
        this->mLanguageId = list.front();
      }
      this->mLanguageIdKnown = true;
    }
    return this->mLanguageId;
  }

  QXSTATUS GetStringDescriptorString(QXWString& string, uint8_t index, uint16_t languageId) {
    uint8_t raw[256];
    uint32_t count = 0;
    QXSTATUS st = this->GetRawStringDescriptorImpl(index, languageId, raw, sizeof(raw), count);
    if (st != QXSTATUS_SUCCESS) {
      QX_LOG_ERROR("GetRawStringDescriptorImpl({}, 0x{:04x}) failed, st={}", index, languageId, QXSt{st});
      return st;
    }
    QXWChar text[128];
    st = QXConvertUsbStringDescToString(raw, count, text, 128);
    if (st != QXSTATUS_SUCCESS) {
      QX_LOG_ERROR("QXConvertUsbStringDescToString({}, 0x{:04x}) failed, st={}", index, languageId, QXSt{st});
      return st;
    }
    string = text;
    return QXSTATUS_SUCCESS;
  }
};

template <class Types>
class QXOsUsbInterfaceT : public Types::Interface {
 public:
  QXSTATUS ClaimUsbInterface() {
    if (!this->IsOpened()) {
      QX_LOG_ERROR("Interface not opened");
      return QXSTATUS_NOT_OPENED;
    }
    if (this->IsClaimed()) {
      QX_LOG_ERROR("Interface already claimed");
      return QXSTATUS_ALREADY_DONE;
    }
    return Types::Interface::ClaimUsbInterface();
  }

  QXSTATUS ClassOrVendorOutRequest(uint8_t requestType, uint8_t request, uint16_t value, QXUsbBuffer buffer,
                                   uint32_t* transferred, int32_t timeoutMs) {
    return this->ControlRequestSync(buffer, requestType, request, value, this->GetInterfaceNumber(), transferred,
                                    timeoutMs);
  }

  QXSTATUS ClassOrVendorInRequest(uint8_t requestType, uint8_t request, uint16_t value, QXUsbBuffer buffer,
                                  uint32_t* transferred, int32_t timeoutMs) {
    QXUsbSetupPacket setup;
    setup.bmRequestType = static_cast<uint8_t>(0x80 | ((requestType & 3) << 5) | 1);
    setup.bRequest = request;
    setup.wValue = value;
    setup.wIndex = this->GetInterfaceNumber();
    return this->ControlRequestSetup(setup, buffer, transferred, timeoutMs);
  }
};

using QXOsUsbDevice = QXOsUsbDeviceT<QXWinusbDrvTypes>;
using QXOsUsbInterface = QXOsUsbInterfaceT<QXWinusbDrvTypes>;

}  // namespace plendrik
