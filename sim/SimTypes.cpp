#include "sim/SimTypes.h"

#include <cstdio>
#include <cstring>

namespace plendrik::sim {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads 2 * bytes hexadecimal digits at text[pos].
bool ReadHex(std::string_view text, size_t pos, size_t digits, uint64_t& value) {
  if (pos + digits > text.size()) return false;
  value = 0;
  for (size_t i = 0; i < digits; ++i) {
    const int v = HexValue(text[pos + i]);
    if (v < 0) return false;
    value = (value << 4) | static_cast<uint64_t>(v);
  }
  return true;
}

}  // namespace

bool SimGuid::IsNull() const { return *this == SimGuid{}; }

bool SimGuid::operator==(const SimGuid& other) const {
  return data1 == other.data1 && data2 == other.data2 && data3 == other.data3 &&
         std::memcmp(data4, other.data4, sizeof(data4)) == 0;
}

bool SimGuid::Parse(std::string_view text, SimGuid& guid) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
    text = text.substr(1, 36);
  }
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') {
    return false;
  }
  SimGuid result;
  uint64_t v = 0;
  if (!ReadHex(text, 0, 8, v)) return false;
  result.data1 = static_cast<uint32_t>(v);
  if (!ReadHex(text, 9, 4, v)) return false;
  result.data2 = static_cast<uint16_t>(v);
  if (!ReadHex(text, 14, 4, v)) return false;
  result.data3 = static_cast<uint16_t>(v);
  static const size_t kPositions[8] = {19, 21, 24, 26, 28, 30, 32, 34};
  for (size_t i = 0; i < 8; ++i) {
    if (!ReadHex(text, kPositions[i], 2, v)) return false;
    result.data4[i] = static_cast<uint8_t>(v);
  }
  guid = result;
  return true;
}

bool SimGuid::Parse(QXWStringView text, SimGuid& guid) {
  for (QXWChar c : text) {
    if (c > 0x7F) return false;
  }
  return Parse(std::string_view(SimNarrow(text)), guid);
}

std::string SimGuid::ToString() const {
  char buffer[40];
  std::snprintf(buffer, sizeof(buffer), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", data1, data2, data3,
                data4[0], data4[1], data4[2], data4[3], data4[4], data4[5], data4[6], data4[7]);
  return buffer;
}

QXWString SimGuid::ToWString() const { return SimWiden(ToString()); }

QXWString SimWiden(std::string_view text) {
  QXWString result;
  result.reserve(text.size());
  for (char c : text) {
    result.push_back(static_cast<QXWChar>(static_cast<unsigned char>(c)));
  }
  return result;
}

std::string SimNarrow(QXWStringView text) {
  std::string result;
  result.reserve(text.size());
  for (QXWChar c : text) {
    result.push_back(static_cast<uint32_t>(c) < 0x80 ? static_cast<char>(c) : '?');
  }
  return result;
}

}  // namespace plendrik::sim
