#include "record/QXJsonLine.h"

#include <cstdio>

namespace plendrik {

void QXJsonLine::AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (u < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof(escaped), "\\u%04x", u);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

std::string QXJsonLine::HexText(const uint8_t* data, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 0x0F];
  }
  return out;
}

void QXJsonLine::Key(std::string_view key) {
  if (mText.size() > 1) {
    mText += ',';
  }
  AppendQuoted(mText, key);
  mText += ':';
}

QXJsonLine& QXJsonLine::Str(std::string_view key, std::string_view value) {
  Key(key);
  AppendQuoted(mText, value);
  return *this;
}

QXJsonLine& QXJsonLine::StrOrNull(std::string_view key, const std::string* value) {
  return value != nullptr ? Str(key, *value) : Null(key);
}

QXJsonLine& QXJsonLine::Int(std::string_view key, int64_t value) {
  Key(key);
  mText += std::to_string(value);
  return *this;
}

QXJsonLine& QXJsonLine::UInt(std::string_view key, uint64_t value) {
  Key(key);
  mText += std::to_string(value);
  return *this;
}

QXJsonLine& QXJsonLine::Bool(std::string_view key, bool value) {
  Key(key);
  mText += value ? "true" : "false";
  return *this;
}

QXJsonLine& QXJsonLine::Null(std::string_view key) {
  Key(key);
  mText += "null";
  return *this;
}

QXJsonLine& QXJsonLine::Hex(std::string_view key, const uint8_t* data, size_t size) {
  Key(key);
  mText += '"';
  mText += HexText(data, size);
  mText += '"';
  return *this;
}

QXJsonLine& QXJsonLine::StrArray(std::string_view key, const std::vector<std::string>& values) {
  Key(key);
  mText += '[';
  for (size_t i = 0; i < values.size(); ++i) {
    if (i != 0) {
      mText += ',';
    }
    AppendQuoted(mText, values[i]);
  }
  mText += ']';
  return *this;
}

QXJsonLine& QXJsonLine::Append(const QXJsonLine& other) {
  if (!other.Empty()) {
    if (!Empty()) {
      mText += ',';
    }
    mText.append(other.mText, 1, std::string::npos);
  }
  return *this;
}

QXJsonLine& QXJsonLine::Raw(std::string_view key, std::string_view json) {
  Key(key);
  mText += json;
  return *this;
}

}  // namespace plendrik
