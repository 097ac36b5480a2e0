// One JSON object written as a single line, key by key in the order given: the form of every
// record of a session recording. Text is escaped as JSON requires; byte strings are lowercase
// hex without separators.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plendrik {

class QXJsonLine {
 public:
  QXJsonLine& Str(std::string_view key, std::string_view value);
  // A string value, or null when value is null.
  QXJsonLine& StrOrNull(std::string_view key, const std::string* value);
  QXJsonLine& Int(std::string_view key, int64_t value);
  QXJsonLine& UInt(std::string_view key, uint64_t value);
  QXJsonLine& Bool(std::string_view key, bool value);
  QXJsonLine& Null(std::string_view key);
  QXJsonLine& Hex(std::string_view key, const uint8_t* data, size_t size);
  QXJsonLine& StrArray(std::string_view key, const std::vector<std::string>& values);
  // A value already in JSON form (an object built by another QXJsonLine).
  QXJsonLine& Raw(std::string_view key, std::string_view json);

  // The members of another object, after this one's.
  QXJsonLine& Append(const QXJsonLine& other);
  bool Empty() const { return mText.size() == 1; }

  // The object with its closing brace, without the line end.
  std::string Text() const { return mText + "}"; }

  static std::string HexText(const uint8_t* data, size_t size);
  static void AppendQuoted(std::string& out, std::string_view text);

 private:
  void Key(std::string_view key);
  std::string mText = "{";
};

}  // namespace plendrik
