// The USB DFU 1.1 values the simulated DFU device speaks: requests (standard, XMOS extension and
// the bootloader's private vendor requests), states, status codes and the functional descriptor.
// The bus keeps its own copy so that it needs none of the library's compiled code.
#pragma once

#include <cstdint>

namespace plendrik::sim::dfu {

// bmRequestType of class and vendor requests to an interface.
constexpr uint8_t kClassOut = 0x21;
constexpr uint8_t kClassIn = 0xA1;
constexpr uint8_t kVendorOut = 0x41;
constexpr uint8_t kVendorIn = 0xC1;

// bRequest.
constexpr uint8_t kDetach = 0x00;
constexpr uint8_t kDnload = 0x01;
constexpr uint8_t kUpload = 0x02;
constexpr uint8_t kGetStatus = 0x03;
constexpr uint8_t kClrStatus = 0x04;
constexpr uint8_t kGetState = 0x05;
constexpr uint8_t kAbort = 0x06;
constexpr uint8_t kXmosToBootloader = 0xF2;
constexpr uint8_t kXmosToApplication = 0xF3;
constexpr uint8_t kXmosSelectImage = 0xF4;
constexpr uint8_t kPrivStoreHeader = 0xD1;
constexpr uint8_t kPrivCheckCompatibility = 0xD2;
constexpr uint8_t kPrivGetUnlockToken = 0xD3;
constexpr uint8_t kPrivUnlockTarget = 0xD4;

// bState.
enum class State : uint8_t {
  appIDLE = 0,
  appDETACH = 1,
  dfuIDLE = 2,
  dfuDNLOAD_SYNC = 3,
  dfuDNBUSY = 4,
  dfuDNLOAD_IDLE = 5,
  dfuMANIFEST_SYNC = 6,
  dfuMANIFEST = 7,
  dfuMANIFEST_WAIT_RESET = 8,
  dfuUPLOAD_IDLE = 9,
  dfuERROR = 10,
};

// bStatus.
constexpr uint8_t kOK = 0x00;
constexpr uint8_t errTARGET = 0x01;
constexpr uint8_t errFILE = 0x02;
constexpr uint8_t errWRITE = 0x03;
constexpr uint8_t errERASE = 0x04;
constexpr uint8_t errCHECK_ERASED = 0x05;
constexpr uint8_t errPROG = 0x06;
constexpr uint8_t errVERIFY = 0x07;
constexpr uint8_t errADDRESS = 0x08;
constexpr uint8_t errNOTDONE = 0x09;
constexpr uint8_t errFIRMWARE = 0x0A;
constexpr uint8_t errVENDOR = 0x0B;
constexpr uint8_t errUSBR = 0x0C;
constexpr uint8_t errPOR = 0x0D;
constexpr uint8_t errUNKNOWN = 0x0E;
constexpr uint8_t errSTALLEDPKT = 0x0F;

// Functional descriptor.
constexpr uint8_t kFunctionalDescriptorType = 0x21;
constexpr uint8_t kFunctionalDescriptorLength = 9;
constexpr uint16_t kDfuVersion11 = 0x0110;
constexpr uint8_t kCanDnload = 0x01;
constexpr uint8_t kCanUpload = 0x02;
constexpr uint8_t kManifestationTolerant = 0x04;
constexpr uint8_t kWillDetach = 0x08;

// Interface class, subclass and the protocols of the two run modes.
constexpr uint8_t kInterfaceClass = 0xFE;
constexpr uint8_t kInterfaceSubClass = 0x01;
constexpr uint8_t kProtocolApplication = 0x01;
constexpr uint8_t kProtocolBootloader = 0x02;

// Record sizes.
constexpr uint16_t kStatusLength = 6;
constexpr uint16_t kStateLength = 1;
constexpr uint16_t kHeaderLength = 60;
constexpr uint16_t kCompatibilityLength = 4;
constexpr uint16_t kTokenLength = 80;
constexpr uint16_t kUnlockRequestLength = 32;
constexpr uint32_t kChallengeOffset = 16;
constexpr uint32_t kChallengeLength = 64;

// The 60-byte image metadata header the bootloader judges.
constexpr uint32_t kHeaderBlockMarker = 0xE1BEADDE;
constexpr char kHeaderMagic[16] = {'Q', 'X', '#', 'I', 'M', 'G', '#', 'M', 'E', 'T', 'A', 'D', 'A', 'T', 'A', '#'};
constexpr uint32_t kHeaderTargetIdOffset = 32;
constexpr uint32_t kHeaderVersionOffset = 40;

// Compatibility answers of the bootloader (0 = compatible). The host maps an answer v to its
// own status code 0xEE000000 | (v & 0x3FFF), so each answer names the matching library code.
constexpr uint32_t kCompatible = 0;
constexpr uint32_t kCompatNoHeader = 0x4024;      // no header stored: QXSTATUS_NO_DATA
constexpr uint32_t kCompatBadHeader = 0x4062;     // not a metadata header: QXSTATUS_MAGIC_MISMATCH
constexpr uint32_t kCompatWrongTarget = 0x403E;   // image for another device: QXSTATUS_NOT_COMPATIBLE
constexpr uint32_t kCompatTooOld = 0x4060;        // version below the accepted one: QXSTATUS_VERSION_MISMATCH
constexpr uint32_t kCompatNoSuchTarget = 0x4047;  // target index not present: QXSTATUS_INVALID_INDEX

}  // namespace plendrik::sim::dfu
