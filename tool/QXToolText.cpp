#include "QXToolText.h"

#include <cstdarg>

namespace plendrik {

namespace {
FILE* gToolOutput = nullptr;

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}
}  // namespace

std::string QXToolToUtf8(const QXDFU_WCHAR* text) {
  std::string out;
  if (text == nullptr) {
    return out;
  }
  for (size_t i = 0; text[i] != 0; ++i) {
    const uint32_t unit = static_cast<uint16_t>(text[i]);
    if (unit >= 0xD800 && unit < 0xDC00) {
      const uint32_t next = static_cast<uint16_t>(text[i + 1]);
      if (next >= 0xDC00 && next < 0xE000) {
        AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
        ++i;
        continue;
      }
      AppendUtf8(out, 0xFFFD);
    } else if (unit >= 0xDC00 && unit < 0xE000) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

void QXToolSetOutput(FILE* out) { gToolOutput = out; }

FILE* QXToolGetOutput() { return gToolOutput != nullptr ? gToolOutput : stdout; }

void QXToolPrintf(const char* format, ...) {
  FILE* out = QXToolGetOutput();
  va_list args;
  va_start(args, format);
  vfprintf(out, format, args);
  va_end(args);
  fflush(out);
}

}  // namespace plendrik
