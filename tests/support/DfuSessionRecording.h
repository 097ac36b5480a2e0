// A hand-made recording of a whole upgrade as the engine runs it against a manifestation
// tolerant DFU bootloader: the device's arrival and descriptors, DFU_GETSTATE, the target's
// alternate setting, each DFU_DNLOAD block followed by DFU_GETSTATUS, the closing block and the
// status polls through the manifestation. Tests change it (a missing request, a stall) to see
// the replay stop; regression tests use it as the reference a field recording is compared to.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "support/RecordingBuilder.h"

namespace fbtest {

struct DfuSession {
  uint16_t vendorId = 0x1209;
  uint16_t productId = 0x5F02;
  std::string serial = "HANDMADE1";
  std::string interfaceClass = "{6e45736a-2b1b-4078-b772-b3af2b6fde1c}";  // braced, lower case
  uint16_t transferSize = 1024;
  std::vector<uint8_t> image;
  bool byDigest = true;  // DNLOAD data as out_len/out_crc32, as recorded without inline data
};

// The records of a DfuSession; every transfer takes 20 us, each step 100 us after the last.
inline RecordingBuilder DfuSessionRecording(const DfuSession& s) {
  const RecordedNode node = DeviceNode(s.vendorId, s.productId, s.serial, s.interfaceClass);

  const auto lo = [](unsigned v) { return static_cast<uint8_t>(v & 0xFF); };
  const auto hi = [](unsigned v) { return static_cast<uint8_t>(v >> 8); };
  const std::vector<uint8_t> device{
      0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, lo(s.vendorId), hi(s.vendorId), lo(s.productId), hi(s.productId),
      0x00, 0x01, 0x00, 0x00, 0x03, 0x01};
  // One configuration: the DFU interface in DFU mode and its functional descriptor (can
  // download, manifestation tolerant, will detach; DFU 1.1).
  const std::vector<uint8_t> config{0x09,
                                    0x02,
                                    0x1B,
                                    0x00,
                                    0x01,
                                    0x01,
                                    0x00,
                                    0x80,
                                    0x32,
                                    0x09,
                                    0x04,
                                    0x00,
                                    0x00,
                                    0x00,
                                    0xFE,
                                    0x01,
                                    0x02,
                                    0x00,
                                    0x09,
                                    0x21,
                                    0x0D,
                                    0xE8,
                                    0x03,
                                    lo(s.transferSize),
                                    hi(s.transferSize),
                                    0x10,
                                    0x01};
  std::vector<uint8_t> serial{static_cast<uint8_t>(2 + 2 * s.serial.size()), 0x03};
  for (char c : s.serial) {
    serial.push_back(static_cast<uint8_t>(c));
    serial.push_back(0);
  }

  RecordingBuilder b;
  int64_t t = 100;
  const auto next = [&t] { return t += 100; };
  b.Arrival(t, "d1", node);
  b.Open(next(), "d1", node.path, 1);
  b.Claim(next(), "d1", 1, 2);
  b.Descriptor(next(), "d1", 2, 1, 0, 0, 18, device);
  b.Descriptor(next(), "d1", 2, 2, 0, 0, 9, std::vector<uint8_t>(config.begin(), config.begin() + 9));
  b.Descriptor(next(), "d1", 2, 2, 0, 0, static_cast<uint16_t>(config.size()), config);
  b.Descriptor(next(), "d1", 2, 3, 0, 0, 255, {0x04, 0x03, 0x09, 0x04});
  b.Descriptor(next(), "d1", 2, 3, 3, 0x0409, 255, serial);

  const auto transfer = [&](const std::string& setup, std::vector<uint8_t> in = {}) {
    RecordedTransfer x;
    x.tSubmit = next();
    x.tComplete = x.tSubmit + 20;
    x.setup = setup;
    x.in = std::move(in);
    return x;
  };
  const auto status = [&](uint8_t state) {
    return b.Transfer(transfer(SetupHex(0xA1, 0x03, 0, 0, 6), {0x00, 0x00, 0x00, 0x00, state, 0x00}));
  };
  b.Transfer(transfer(SetupHex(0xA1, 0x05, 0, 0, 1), {0x02}));  // dfuIDLE
  b.AltSetting(next(), "d1", 2, 0, 0);
  uint16_t block = 0;
  for (size_t offset = 0; offset < s.image.size(); offset += s.transferSize, ++block) {
    const size_t length = std::min<size_t>(s.transferSize, s.image.size() - offset);
    RecordedTransfer x = transfer(SetupHex(0x21, 0x01, block, 0, static_cast<uint16_t>(length)));
    x.out.assign(s.image.begin() + static_cast<std::ptrdiff_t>(offset),
                 s.image.begin() + static_cast<std::ptrdiff_t>(offset + length));
    x.outByDigest = s.byDigest;
    x.offset = offset;
    b.Transfer(x);
    status(0x05);  // dfuDNLOAD_IDLE
  }
  b.Transfer(transfer(SetupHex(0x21, 0x01, block, 0, 0)));
  status(0x07);  // dfuMANIFEST
  status(0x02);  // dfuIDLE
  return b;
}

}  // namespace fbtest
