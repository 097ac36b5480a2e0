#include "QXNumeric.h"

#include <cerrno>
#include <cstdlib>

namespace plendrik {

namespace {
bool IsBlank(char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }
}  // namespace

QXSTATUS QXConvertStringToNumeric(const char* text, uint32_t& value) {
  const char* p = text;
  while (IsBlank(*p)) {
    ++p;
  }
  const int base = (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) ? 16 : 10;
  // The value must fit 32 bits as the C library's 32-bit unsigned long conversion sees it:
  // convert with 64 bits, then apply the 32-bit overflow rule and the negation wrap.
  char* end = nullptr;
  errno = 0;
  const unsigned long long wide = strtoull(p, &end, base);
  if (end == p) {
    return QXSTATUS_INVALID_FORMAT;
  }
  const char* digits = p;
  while (IsBlank(*digits)) {
    ++digits;
  }
  const bool negative = *digits == '-';
  unsigned long long magnitude = negative ? (0ULL - wide) : wide;
  if (errno == ERANGE || magnitude > 0xFFFFFFFFULL) {
    return QXSTATUS_OUT_OF_RANGE;
  }
  if (*end != '\0' && !IsBlank(*end)) {
    return QXSTATUS_INVALID_FORMAT;
  }
  value = negative ? static_cast<uint32_t>(0u - static_cast<uint32_t>(magnitude)) : static_cast<uint32_t>(magnitude);
  return QXSTATUS_SUCCESS;
}

}  // namespace plendrik
