// Writes device-session recordings record by record in the agreed JSON Lines format (version
// 1), for tests that replay hand-made sessions or damage recorded ones. Record numbers are line
// numbers: the header is record 1, and each call answers the number of the record it wrote.
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace fbtest {

// The 8-byte setup packet as recorded: little-endian fields in lowercase hex.
inline std::string SetupHex(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
  char text[17];
  std::snprintf(text, sizeof(text), "%02x%02x%02x%02x%02x%02x%02x%02x", requestType, request, value & 0xFF, value >> 8,
                index & 0xFF, index >> 8, length & 0xFF, length >> 8);
  return text;
}

inline std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0x0F]);
  }
  return text;
}

// zlib's CRC-32 (the reflected 0xEDB88320 polynomial), as the format stores DNLOAD digests.
inline uint32_t Crc32(const std::vector<uint8_t>& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return crc ^ 0xFFFFFFFFu;
}

// A JSON string literal with the escapes the format needs (paths carry backslashes).
inline std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned char>(c));
      out += escaped;
    } else {
      out.push_back(c);
    }
  }
  return out + "\"";
}

struct RecordedNode {
  std::string path;
  std::string instance;
  std::vector<std::string> hardwareIds;
  std::optional<std::string> container;  // braced GUID; none: null
  std::string interfaceClass;            // braced GUID
};

// A node of a USB device as the system lists it: instance identifier
// USB\VID_vvvv&PID_pppp[&MI_nn]\<serial>, the lower-case interface path under `interfaceClass`,
// and hardware identifiers with and without the revision. No container.
inline RecordedNode DeviceNode(uint16_t vendorId, uint16_t productId, const std::string& serial,
                               const std::string& interfaceClass, uint16_t revision = 0x0100,
                               std::optional<uint8_t> function = std::nullopt) {
  char ids[32];
  std::snprintf(ids, sizeof(ids), "VID_%04X&PID_%04X", vendorId, productId);
  char rev[16];
  std::snprintf(rev, sizeof(rev), "&REV_%04X", revision);
  std::string mi;
  if (function) {
    char text[8];
    std::snprintf(text, sizeof(text), "&MI_%02X", *function);
    mi = text;
  }
  RecordedNode node;
  node.instance = std::string("USB\\") + ids + mi + "\\" + serial;
  std::string lower = std::string("usb#") + ids + mi + "#" + serial + "#" + interfaceClass;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  node.path = "\\\\?\\" + lower;
  node.hardwareIds = {std::string("USB\\") + ids + rev + mi, std::string("USB\\") + ids + mi};
  node.interfaceClass = interfaceClass;
  return node;
}

struct RecordedTransfer {
  int64_t tSubmit = 0;
  int64_t tComplete = 0;
  std::string device = "d1";
  int handle = 2;
  std::string setup;               // SetupHex(...)
  std::vector<uint8_t> out;        // OUT data stage
  bool outByDigest = false;        // out_len + out_crc32 instead of "out" (DNLOAD data)
  std::optional<uint64_t> offset;  // DNLOAD data: offset in the image
  std::vector<uint8_t> in;         // IN data as answered
  uint32_t result = 0;
  std::optional<uint32_t> transferred;  // default: in.size() or out.size() on success, else 0
  bool submitError = false;
};

class RecordingBuilder {
 public:
  // Starts with the header; version and format may be anything, to test refusals.
  explicit RecordingBuilder(int64_t version = 1, const std::string& backend = "virtual-bus",
                            const std::string& format = "flashbridge-recording") {
    Raw("{\"type\":\"header\",\"format\":" + Quote(format) + ",\"version\":" + std::to_string(version) +
        ",\"library\":\"2.60.0\",\"time\":\"2026-12-07T21:50:00Z\",\"backend\":" + Quote(backend) +
        ",\"inline_data\":false,\"pseudonyms\":false}");
  }

  // A recording written elsewhere (the library's recorder), one record a line, to change it.
  static RecordingBuilder FromText(const std::string& text) {
    RecordingBuilder builder;
    builder.mLines.clear();
    size_t begin = 0;
    while (begin < text.size()) {
      size_t end = text.find('\n', begin);
      if (end == std::string::npos) end = text.size();
      builder.mLines.push_back(text.substr(begin, end - begin));
      begin = end + 1;
    }
    return builder;
  }

  size_t Raw(const std::string& line) {
    mLines.push_back(line);
    return mLines.size();
  }

  size_t Arrival(int64_t t, const std::string& device, const RecordedNode& node) {
    std::string ids = "[";
    for (size_t i = 0; i < node.hardwareIds.size(); ++i) {
      ids += (i ? "," : "") + Quote(node.hardwareIds[i]);
    }
    ids += "]";
    return Raw("{\"type\":\"arrival\",\"t\":" + std::to_string(t) + ",\"device\":" + Quote(device) +
               ",\"node\":{\"path\":" + Quote(node.path) + ",\"instance\":" + Quote(node.instance) +
               ",\"hardware_ids\":" + ids + ",\"container\":" + (node.container ? Quote(*node.container) : "null") +
               ",\"class\":" + Quote(node.interfaceClass) + "}}");
  }

  size_t Removal(int64_t t, const std::string& device, const std::string& path) {
    return Raw("{\"type\":\"removal\",\"t\":" + std::to_string(t) + ",\"device\":" + Quote(device) +
               ",\"path\":" + Quote(path) + "}");
  }

  size_t Open(int64_t t, const std::string& device, const std::string& path, int file) {
    return Raw("{\"type\":\"open\",\"t\":" + std::to_string(t) + ",\"device\":" + Quote(device) +
               ",\"path\":" + Quote(path) + ",\"result\":0,\"file\":" + std::to_string(file) + "}");
  }

  size_t Claim(int64_t t, const std::string& device, int file, int handle) {
    return Raw("{\"type\":\"claim\",\"t\":" + std::to_string(t) + ",\"device\":" + Quote(device) +
               ",\"file\":" + std::to_string(file) + ",\"result\":0,\"handle\":" + std::to_string(handle) + "}");
  }

  size_t Descriptor(int64_t t, const std::string& device, int handle, uint8_t dtype, uint8_t index, uint16_t lang,
                    uint16_t length, const std::vector<uint8_t>& data, uint32_t result = 0) {
    return Raw("{\"type\":\"descriptor\",\"t\":" + std::to_string(t) + ",\"device\":" + Quote(device) + ",\"handle\":" +
               std::to_string(handle) + ",\"dtype\":" + std::to_string(dtype) + ",\"index\":" + std::to_string(index) +
               ",\"lang\":" + std::to_string(lang) + ",\"length\":" + std::to_string(length) +
               ",\"result\":" + std::to_string(result) + ",\"data\":" + Quote(Hex(data)) + "}");
  }

  size_t AltSetting(int64_t t, const std::string& device, int handle, uint8_t alt, uint32_t result) {
    return Raw("{\"type\":\"alt_setting\",\"t\":" + std::to_string(t) + ",\"device\":" + Quote(device) +
               ",\"handle\":" + std::to_string(handle) + ",\"alt\":" + std::to_string(alt) +
               ",\"result\":" + std::to_string(result) + "}");
  }

  size_t Reset(int64_t t, const std::string& device, int handle) {
    return Raw("{\"type\":\"reset\",\"t\":" + std::to_string(t) + ",\"device\":" + Quote(device) +
               ",\"handle\":" + std::to_string(handle) + ",\"result\":0}");
  }

  size_t Timeout(int64_t t, const std::string& device, int handle, uint32_t waitMs) {
    return Raw("{\"type\":\"timeout\",\"t\":" + std::to_string(t) + ",\"device\":" + Quote(device) +
               ",\"handle\":" + std::to_string(handle) + ",\"wait_ms\":" + std::to_string(waitMs) + "}");
  }

  size_t Cancel(int64_t t, const std::string& device, int handle) {
    return Raw("{\"type\":\"cancel\",\"t\":" + std::to_string(t) + ",\"device\":" + Quote(device) +
               ",\"handle\":" + std::to_string(handle) + ",\"result\":0}");
  }

  size_t Image(int64_t t, const std::string& sha256, uint64_t size) {
    return Raw("{\"type\":\"image\",\"t\":" + std::to_string(t) + ",\"sha256\":" + Quote(sha256) +
               ",\"size\":" + std::to_string(size) + "}");
  }

  size_t Note(int64_t t, const std::string& text) {
    return Raw("{\"type\":\"note\",\"t\":" + std::to_string(t) + ",\"text\":" + Quote(text) + "}");
  }

  size_t Transfer(const RecordedTransfer& x) {
    std::string line = "{\"type\":\"transfer\",\"t_submit\":" + std::to_string(x.tSubmit) +
                       ",\"t_complete\":" + std::to_string(x.tComplete) + ",\"device\":" + Quote(x.device) +
                       ",\"handle\":" + std::to_string(x.handle) + ",\"setup\":" + Quote(x.setup);
    if (!x.out.empty() && x.outByDigest) {
      char crc[9];
      std::snprintf(crc, sizeof(crc), "%08x", static_cast<unsigned>(Crc32(x.out)));
      line += ",\"out_len\":" + std::to_string(x.out.size()) + ",\"out_crc32\":\"" + crc + "\"";
    } else if (!x.out.empty()) {
      line += ",\"out\":" + Quote(Hex(x.out));
    }
    if (x.offset) {
      line += ",\"offset\":" + std::to_string(*x.offset);
    }
    const uint32_t transferred =
        x.transferred.value_or(x.result != 0 ? 0 : static_cast<uint32_t>(x.in.empty() ? x.out.size() : x.in.size()));
    line += ",\"in\":" + Quote(Hex(x.in)) + ",\"result\":" + std::to_string(x.result) +
            ",\"transferred\":" + std::to_string(transferred);
    if (x.submitError) {
      line += ",\"submit_error\":true";
    }
    return Raw(line + "}");
  }

  // The record number the next record gets.
  size_t Next() const { return mLines.size() + 1; }
  std::vector<std::string>& Lines() { return mLines; }

  std::string Text() const {
    std::string text;
    for (const std::string& line : mLines) text += line + "\n";
    return text;
  }

  bool Save(const std::string& path) const {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << Text();
    return static_cast<bool>(file);
  }

 private:
  std::vector<std::string> mLines;
};

}  // namespace fbtest
