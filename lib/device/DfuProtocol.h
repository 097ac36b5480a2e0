// The USB DFU 1.1 wire protocol as this system speaks it: request codes (the standard class
// requests, the XMOS extensions and the bootloader's private vendor requests), bState and
// bStatus codes with their texts, the 6-byte GETSTATUS record and the 9-byte functional
// descriptor. Header-only: the device port, the upgrade worker and the simulated device on
// the virtual bus (which does not link the library) all use it.
#pragma once

#include <cstdint>

namespace plendrik {

// bmRequestType of the requests to the DFU interface (recipient interface).
constexpr uint8_t kDfuRequestTypeClassOut = 0x21;
constexpr uint8_t kDfuRequestTypeClassIn = 0xA1;
constexpr uint8_t kDfuRequestTypeVendorOut = 0x41;
constexpr uint8_t kDfuRequestTypeVendorIn = 0xC1;

// DFU 1.1 class requests.
constexpr uint8_t kDfuDetach = 0x00;
constexpr uint8_t kDfuDnload = 0x01;
constexpr uint8_t kDfuUpload = 0x02;  // never sent by the library
constexpr uint8_t kDfuGetStatus = 0x03;
constexpr uint8_t kDfuClrStatus = 0x04;
constexpr uint8_t kDfuGetState = 0x05;
constexpr uint8_t kDfuAbort = 0x06;

// XMOS extension requests (class requests to the DFU interface).
constexpr uint8_t kXmosDfuResetIntoDfu = 0xF2;  // reboot into the bootloader
constexpr uint8_t kXmosDfuResetFromDfu = 0xF3;  // reboot into the application
constexpr uint8_t kXmosDfuSelectImage = 0xF4;   // XMOS_DFU_SELECTIMAGE, wValue = image index

// The bootloader's private vendor requests.
constexpr uint8_t kPrivStoreImageMetadataHeader = 0xD1;  // out, 60 bytes
constexpr uint8_t kPrivCheckImageCompatibility = 0xD2;   // in, 4 bytes, wValue = target
constexpr uint8_t kPrivGetUnlockToken = 0xD3;            // in, 80 bytes, wValue = target
constexpr uint8_t kPrivUnlockTarget = 0xD4;              // out, 32 bytes

// bState values.
enum : uint8_t {
  kDfuStateAppIdle = 0,
  kDfuStateAppDetach = 1,
  kDfuStateDfuIdle = 2,
  kDfuStateDnloadSync = 3,
  kDfuStateDnBusy = 4,
  kDfuStateDnloadIdle = 5,
  kDfuStateManifestSync = 6,
  kDfuStateManifest = 7,
  kDfuStateManifestWaitReset = 8,
  kDfuStateUploadIdle = 9,
  kDfuStateError = 10,
};

// bStatus values.
enum : uint8_t {
  kDfuStatusOk = 0,
  kDfuStatusErrTarget = 1,
  kDfuStatusErrFile = 2,
  kDfuStatusErrWrite = 3,
  kDfuStatusErrErase = 4,
  kDfuStatusErrCheckErased = 5,
  kDfuStatusErrProg = 6,
  kDfuStatusErrVerify = 7,
  kDfuStatusErrAddress = 8,
  kDfuStatusErrNotDone = 9,
  kDfuStatusErrFirmware = 10,
  kDfuStatusErrVendor = 11,
  kDfuStatusErrUsbr = 12,
  kDfuStatusErrPor = 13,
  kDfuStatusErrUnknown = 14,
  kDfuStatusErrStalledPkt = 15,
};

// The text the library logs for a bState; "unknown" outside the table.
constexpr const char* DfuStateText(uint32_t bState) {
  constexpr const char* kTexts[] = {"appIDLE",          "appDETACH",   "dfuIDLE",
                                    "dfuDNLOAD_SYNC",   "dfuDNBUSY",   "dfuDNLOAD_IDLE",
                                    "dfuMANIFEST_SYNC", "dfuMANIFEST", "dfuMANIFEST_WAIT_RESET",
                                    "dfuUPLOAD_IDLE",   "dfuERROR"};
  return bState < sizeof(kTexts) / sizeof(kTexts[0]) ? kTexts[bState] : "unknown";
}

// The text the library logs for a bStatus; "unknown" outside the table.
constexpr const char* DfuStatusText(uint32_t bStatus) {
  constexpr const char* kTexts[] = {"dfu_OK",     "errTARGET",       "errFILE",     "errWRITE",
                                    "errERASE",   "errCHECK_ERASED", "errPROG",     "errVERIFY",
                                    "errADDRESS", "errNOTDONE",      "errFIRMWARE", "errVENDOR",
                                    "errUSBR",    "errPOR",          "errUNKNOWN",  "errSTALLEDPKT"};
  return bStatus < sizeof(kTexts) / sizeof(kTexts[0]) ? kTexts[bStatus] : "unknown";
}

// The GETSTATUS record, decoded.
struct DfuGetStatusRecord {
  uint8_t bStatus = 0;
  uint32_t bwPollTimeout = 0;  // milliseconds, 24 bits
  uint8_t bState = 0;
  uint8_t iString = 0;
};

constexpr uint32_t kDfuGetStatusRecordLength = 6;

constexpr DfuGetStatusRecord DecodeDfuGetStatusRecord(const uint8_t (&raw)[kDfuGetStatusRecordLength]) {
  DfuGetStatusRecord record;
  record.bStatus = raw[0];
  record.bwPollTimeout =
      static_cast<uint32_t>(raw[1]) | (static_cast<uint32_t>(raw[2]) << 8) | (static_cast<uint32_t>(raw[3]) << 16);
  record.bState = raw[4];
  record.iString = raw[5];
  return record;
}

// The device's side: the bytes a device sends for a record (bwPollTimeout cut to 24 bits).
constexpr void EncodeDfuGetStatusRecord(const DfuGetStatusRecord& record, uint8_t (&raw)[kDfuGetStatusRecordLength]) {
  raw[0] = record.bStatus;
  raw[1] = static_cast<uint8_t>(record.bwPollTimeout);
  raw[2] = static_cast<uint8_t>(record.bwPollTimeout >> 8);
  raw[3] = static_cast<uint8_t>(record.bwPollTimeout >> 16);
  raw[4] = record.bState;
  raw[5] = record.iString;
}

// The DFU functional descriptor (type 0x21, 9 bytes).
constexpr uint8_t kDfuFunctionalDescriptorType = 0x21;
constexpr uint32_t kDfuFunctionalDescriptorLength = 9;
constexpr uint16_t kDfuVersion11 = 0x0110;

// bmAttributes bits.
constexpr uint8_t kDfuAttrCanDnload = 0x01;
constexpr uint8_t kDfuAttrCanUpload = 0x02;
constexpr uint8_t kDfuAttrManifestationTolerant = 0x04;
constexpr uint8_t kDfuAttrWillDetach = 0x08;

struct DfuFunctionalDescriptor {
  uint8_t bmAttributes = 0;
  uint16_t wDetachTimeOut = 0;
  uint16_t wTransferSize = 0;
  uint16_t bcdDFUVersion = 0;
};

constexpr DfuFunctionalDescriptor DecodeDfuFunctionalDescriptor(const uint8_t (&raw)[kDfuFunctionalDescriptorLength]) {
  DfuFunctionalDescriptor d;
  d.bmAttributes = raw[2];
  d.wDetachTimeOut = static_cast<uint16_t>(raw[3] | (raw[4] << 8));
  d.wTransferSize = static_cast<uint16_t>(raw[5] | (raw[6] << 8));
  d.bcdDFUVersion = static_cast<uint16_t>(raw[7] | (raw[8] << 8));
  return d;
}

// The interface protocols of a DFU interface: run-time (application) and DFU mode.
constexpr uint8_t kDfuInterfaceProtocolRuntime = 1;
constexpr uint8_t kDfuInterfaceProtocolDfuMode = 2;

}  // namespace plendrik
