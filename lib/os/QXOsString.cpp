#include "QXOsString.h"

namespace plendrik {

std::string QXUtf16ToUtf8(QXWStringView text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = static_cast<uint16_t>(text[i]);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size()) {
      uint32_t lo = static_cast<uint16_t>(text[i + 1]);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
        ++i;
      } else {
        cp = 0xFFFD;
      }
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
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
  return out;
}

QXWString QXUtf8ToUtf16(std::string_view text) {
  QXWString out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto b0 = static_cast<uint8_t>(text[i]);
    uint32_t cp = 0xFFFD;
    size_t need = 0;
    if (b0 < 0x80) {
      cp = b0;
    } else if ((b0 & 0xE0) == 0xC0) {
      cp = b0 & 0x1F;
      need = 1;
    } else if ((b0 & 0xF0) == 0xE0) {
      cp = b0 & 0x0F;
      need = 2;
    } else if ((b0 & 0xF8) == 0xF0) {
      cp = b0 & 0x07;
      need = 3;
    }
    ++i;
    bool ok = (b0 < 0x80) || need > 0;
    for (size_t k = 0; k < need; ++k) {
      if (i >= text.size() || (static_cast<uint8_t>(text[i]) & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (static_cast<uint8_t>(text[i]) & 0x3F);
      ++i;
    }
    if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      cp = 0xFFFD;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<QXWChar>(0xD800 + (cp >> 10));
      out += static_cast<QXWChar>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<QXWChar>(cp);
    }
  }
  return out;
}

QXWString QXWidenBytes(std::string_view text) {
  QXWString out;
  out.reserve(text.size());
  for (char c : text) {
    out += static_cast<QXWChar>(static_cast<uint8_t>(c));
  }
  return out;
}

std::string QXNarrowUnits(QXWStringView text) {
  std::string out;
  out.reserve(text.size());
  for (QXWChar c : text) {
    const auto u = static_cast<uint16_t>(c);
    out += u < 256 ? static_cast<char>(u) : '?';
  }
  return out;
}

size_t QXWStrLen(const QXWChar* text) {
  size_t n = 0;
  while (text[n] != 0) {
    ++n;
  }
  return n;
}

std::string QXAsciiUpper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return text;
}

std::string QXAsciiLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return text;
}

}  // namespace plendrik
