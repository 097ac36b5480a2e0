#include "QXNumeric.h"

#include <cerrno>
#include <cstdlib>
#include <string>

namespace plendrik {

namespace {

bool IsBlank(char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// Converts p (leading blanks already skipped) in the given base.
QXSTATUS ConvertInBase(const char* p, int base, uint32_t& value) {
  // The value must fit 32 bits as the C library's 32-bit unsigned long conversion sees it:
  // convert with 64 bits, then apply the 32-bit overflow rule and the negation wrap.
  char* end = nullptr;
  errno = 0;
  const unsigned long long wide = strtoull(p, &end, base);
  if (end == p) {
    return QXSTATUS_INVALID_FORMAT;
  }
  const bool negative = *p == '-';
  const unsigned long long magnitude = negative ? (0ULL - wide) : wide;
  if (errno == ERANGE || magnitude > 0xFFFFFFFFULL) {
    return QXSTATUS_OUT_OF_RANGE;
  }
  if (*end != '\0' && !IsBlank(*end)) {
    return QXSTATUS_INVALID_FORMAT;
  }
  value = negative ? static_cast<uint32_t>(0u - static_cast<uint32_t>(magnitude)) : static_cast<uint32_t>(magnitude);
  return QXSTATUS_SUCCESS;
}

}  // namespace

QXSTATUS QXConvertStringToNumeric(const char* text, uint32_t& value) {
  if (text == nullptr) {
    return QXSTATUS_INVALID_PARAMETER;
  }
  const char* p = text;
  while (IsBlank(*p)) {
    ++p;
  }
  const int base = (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) ? 16 : 10;
  return ConvertInBase(p, base, value);
}

QXSTATUS QXConvertStringToNumeric(const QXWChar* text, uint32_t& value) {
  if (text == nullptr) {
    return QXSTATUS_INVALID_PARAMETER;
  }
  // Every character the rules care about is ASCII; any other unit becomes DEL, which is
  // neither a digit, a sign nor white space, so it ends the number exactly where it would.
  std::string narrow;
  for (const QXWChar* p = text; *p != 0; ++p) {
    const auto unit = static_cast<uint32_t>(*p);
    narrow.push_back(unit < 0x80 ? static_cast<char>(unit) : '\x7F');
  }
  const char* p = narrow.c_str();
  while (IsBlank(*p)) {
    ++p;
  }
  return ConvertInBase(p, 16, value);
}

}  // namespace plendrik
