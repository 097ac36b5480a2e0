// Reading a device-session recording (JSON Lines) in tests: a small JSON value parser and the
// file as a list of records, with look-ups by type. Enough JSON for the recording format
// (objects, arrays, strings with escapes, integers, booleans, null); a line that does not
// parse becomes a record of type "<unparsed>" so that a test sees it. It is header-only and
// apart from the replay's JSON reader on purpose: the tests that load the shipped library link
// nothing of it, and a recorder checked only by the reader its replay uses could share a mistake
// with it unseen.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace fbtest {

struct JsonValue {
  enum class Kind { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool boolean = false;
  int64_t number = 0;
  std::string text;
  std::vector<JsonValue> items;
  std::map<std::string, JsonValue> members;

  bool Has(const std::string& key) const { return members.count(key) != 0; }
  bool IsNull() const { return kind == Kind::Null; }
  // A member, or a null value when absent.
  const JsonValue& operator[](const std::string& key) const {
    static const JsonValue kNull;
    const auto found = members.find(key);
    return found == members.end() ? kNull : found->second;
  }
  const std::string& Str() const { return text; }
  int64_t Int() const { return number; }
};

class JsonParser {
 public:
  explicit JsonParser(const std::string& text) : mText(text) {}

  // The value of the whole text; false when it is not one JSON value.
  bool Parse(JsonValue& out) {
    if (!Value(out)) {
      return false;
    }
    Blank();
    return mAt == mText.size();
  }

 private:
  void Blank() {
    while (mAt < mText.size() &&
           (mText[mAt] == ' ' || mText[mAt] == '\t' || mText[mAt] == '\r' || mText[mAt] == '\n')) {
      ++mAt;
    }
  }
  bool Literal(const char* word) {
    const std::string w(word);
    if (mText.compare(mAt, w.size(), w) != 0) {
      return false;
    }
    mAt += w.size();
    return true;
  }
  bool String(std::string& out) {
    if (mText[mAt] != '"') {
      return false;
    }
    for (++mAt; mAt < mText.size(); ++mAt) {
      const char c = mText[mAt];
      if (c == '"') {
        ++mAt;
        return true;
      }
      if (c != '\\') {
        out += c;
        continue;
      }
      if (++mAt >= mText.size()) {
        return false;
      }
      switch (mText[mAt]) {
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          if (mAt + 4 >= mText.size()) {
            return false;
          }
          const unsigned long unit = std::strtoul(mText.substr(mAt + 1, 4).c_str(), nullptr, 16);
          out += unit < 0x80 ? static_cast<char>(unit) : '?';
          mAt += 4;
          break;
        }
        default:
          out += mText[mAt];
      }
    }
    return false;
  }
  bool Value(JsonValue& out) {
    Blank();
    if (mAt >= mText.size()) {
      return false;
    }
    const char c = mText[mAt];
    if (c == '{') {
      out.kind = JsonValue::Kind::Object;
      ++mAt;
      Blank();
      if (mAt < mText.size() && mText[mAt] == '}') {
        ++mAt;
        return true;
      }
      for (;;) {
        Blank();
        std::string key;
        if (mAt >= mText.size() || !String(key)) {
          return false;
        }
        Blank();
        if (mAt >= mText.size() || mText[mAt++] != ':' || !Value(out.members[key])) {
          return false;
        }
        Blank();
        if (mAt >= mText.size()) {
          return false;
        }
        if (mText[mAt] == '}') {
          ++mAt;
          return true;
        }
        if (mText[mAt++] != ',') {
          return false;
        }
      }
    }
    if (c == '[') {
      out.kind = JsonValue::Kind::Array;
      ++mAt;
      Blank();
      if (mAt < mText.size() && mText[mAt] == ']') {
        ++mAt;
        return true;
      }
      for (;;) {
        out.items.emplace_back();
        if (!Value(out.items.back())) {
          return false;
        }
        Blank();
        if (mAt >= mText.size()) {
          return false;
        }
        if (mText[mAt] == ']') {
          ++mAt;
          return true;
        }
        if (mText[mAt++] != ',') {
          return false;
        }
      }
    }
    if (c == '"') {
      out.kind = JsonValue::Kind::String;
      return String(out.text);
    }
    if (Literal("true") || Literal("false")) {
      out.kind = JsonValue::Kind::Bool;
      out.boolean = mText[mAt - 1] == 'e' && mText[mAt - 2] == 'u';
      return true;
    }
    if (Literal("null")) {
      out.kind = JsonValue::Kind::Null;
      return true;
    }
    char* end = nullptr;
    out.number = std::strtoll(mText.c_str() + mAt, &end, 10);
    if (end == mText.c_str() + mAt) {
      return false;
    }
    out.kind = JsonValue::Kind::Number;
    mAt = static_cast<size_t>(end - mText.c_str());
    return true;
  }

  const std::string& mText;
  size_t mAt = 0;
};

// A recording read whole: records in file order (record number = index + 1).
class RecordingFile {
 public:
  explicit RecordingFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      mLines.push_back(line);
      JsonValue record;
      if (!JsonParser(line).Parse(record) || record.kind != JsonValue::Kind::Object) {
        record = JsonValue();
        record.kind = JsonValue::Kind::Object;
        record.members["type"].kind = JsonValue::Kind::String;
        record.members["type"].text = "<unparsed>";
      }
      mRecords.push_back(std::move(record));
    }
  }

  const std::vector<JsonValue>& Records() const { return mRecords; }
  const std::vector<std::string>& Lines() const { return mLines; }
  std::vector<JsonValue> OfType(const std::string& type) const {
    std::vector<JsonValue> out;
    for (const JsonValue& r : mRecords) {
      if (r["type"].Str() == type) {
        out.push_back(r);
      }
    }
    return out;
  }
  // The DFU_DNLOAD data transfers (wLength > 0) of one device label, in file order.
  std::vector<JsonValue> DnloadBlocks(const std::string& device) const {
    std::vector<JsonValue> out;
    for (const JsonValue& t : OfType("transfer")) {
      const std::string& setup = t["setup"].Str();
      if (t["device"].Str() == device && setup.rfind("2101", 0) == 0 && setup.substr(12) != "0000") {
        out.push_back(t);
      }
    }
    return out;
  }
  // The record types in order, e.g. to check that one kind of record comes before another.
  std::vector<std::string> Types() const {
    std::vector<std::string> out;
    for (const JsonValue& r : mRecords) {
      out.push_back(r["type"].Str());
    }
    return out;
  }

 private:
  std::vector<std::string> mLines;
  std::vector<JsonValue> mRecords;
};

// The standard CRC-32 (zlib's) bit by bit: a reference independent of the library's table and
// carry-less multiplication forms, for the out_crc32 of DFU_DNLOAD blocks.
inline uint32_t BitwiseCrc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
  }
  return ~crc;
}

// Bytes of a lowercase hex text ("" for none).
inline std::vector<uint8_t> HexBytes(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
  }
  return out;
}

}  // namespace fbtest
