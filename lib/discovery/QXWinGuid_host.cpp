// GUID text conversion for the host: the braced form parsed and printed by hand.
#include "discovery/QXWinGuid.h"

namespace plendrik {

namespace {

// CO_E_IIDSTRING, the answer of IIDFromString to a malformed text.
constexpr uint32_t kInvalidIidString = 0x800401F4u;

int HexValue(QXWChar c) {
  if (c >= u'0' && c <= u'9') {
    return c - u'0';
  }
  if (c >= u'a' && c <= u'f') {
    return c - u'a' + 10;
  }
  if (c >= u'A' && c <= u'F') {
    return c - u'A' + 10;
  }
  return -1;
}

// Reads `digits` hexadecimal digits at pos.
bool ReadHex(const QXWString& text, size_t pos, size_t digits, uint64_t& value) {
  value = 0;
  for (size_t i = 0; i < digits; ++i) {
    const int v = HexValue(text[pos + i]);
    if (v < 0) {
      return false;
    }
    value = (value << 4) | static_cast<uint64_t>(v);
  }
  return true;
}

}  // namespace

int32_t QXWinGuid::ParseBracedGuid(const QXWString& text, QXGuid& guid) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  if (text.size() != 38 || text[0] != u'{' || text[37] != u'}' || text[9] != u'-' || text[14] != u'-' ||
      text[19] != u'-' || text[24] != u'-') {
    return static_cast<int32_t>(kInvalidIidString);
  }
  uint64_t d1 = 0, d2 = 0, d3 = 0, d4 = 0, d5 = 0;
  if (!ReadHex(text, 1, 8, d1) || !ReadHex(text, 10, 4, d2) || !ReadHex(text, 15, 4, d3) || !ReadHex(text, 20, 4, d4) ||
      !ReadHex(text, 25, 12, d5)) {
    return static_cast<int32_t>(kInvalidIidString);
  }
  guid.Data1 = static_cast<uint32_t>(d1);
  guid.Data2 = static_cast<uint16_t>(d2);
  guid.Data3 = static_cast<uint16_t>(d3);
  guid.Data4[0] = static_cast<uint8_t>(d4 >> 8);
  guid.Data4[1] = static_cast<uint8_t>(d4);
  for (int i = 0; i < 6; ++i) {
    guid.Data4[2 + i] = static_cast<uint8_t>(d5 >> (8 * (5 - i)));
  }
  return 0;
}

QXWString QXWinGuid::StringFromGuid(const QXGuid& guid) {
  static const char kDigits[] = "0123456789ABCDEF";
  QXWString out;
  out.reserve(38);
  auto put = [&](uint64_t value, int digits) {
    for (int i = digits - 1; i >= 0; --i) {
      out.push_back(static_cast<QXWChar>(kDigits[(value >> (4 * i)) & 0xF]));
    }
  };
  out.push_back(u'{');
  put(guid.Data1, 8);
  out.push_back(u'-');
  put(guid.Data2, 4);
  out.push_back(u'-');
  put(guid.Data3, 4);
  out.push_back(u'-');
  put(guid.Data4[0], 2);
  put(guid.Data4[1], 2);
  out.push_back(u'-');
  for (int i = 2; i < 8; ++i) {
    put(guid.Data4[i], 2);
  }
  out.push_back(u'}');
  return out;
}

}  // namespace plendrik
