// A small strict JSON reader for the records of a device-session recording: one value per
// line (objects, arrays, strings with escapes, integers, true, false, null). Numbers are
// integers only, as every number of the recording format is; an error names its column.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plendrik::sim {

class SimJsonValue {
 public:
  enum class Kind { Null, Bool, Integer, String, Array, Object };

  SimJsonValue() = default;
  static SimJsonValue Bool(bool value);
  static SimJsonValue Integer(int64_t value);
  static SimJsonValue String(std::string value);
  static SimJsonValue Array(std::vector<SimJsonValue> items);
  static SimJsonValue Object(std::map<std::string, SimJsonValue> members);

  Kind GetKind() const { return mKind; }
  bool IsNull() const { return mKind == Kind::Null; }
  bool AsBool() const { return mBool; }
  int64_t AsInteger() const { return mInteger; }
  const std::string& AsString() const { return mString; }
  const std::vector<SimJsonValue>& Items() const { return mItems; }
  const std::map<std::string, SimJsonValue>& Members() const { return mMembers; }

  // An object's member; null when this is no object or has no such member.
  const SimJsonValue* Find(std::string_view key) const;
  // Typed reads of an object's member: none when it is missing or of another kind.
  std::optional<std::string> GetString(std::string_view key) const;
  std::optional<int64_t> GetInteger(std::string_view key) const;
  std::optional<bool> GetBool(std::string_view key) const;

 private:
  Kind mKind = Kind::Null;
  bool mBool = false;
  int64_t mInteger = 0;
  std::string mString;
  std::vector<SimJsonValue> mItems;
  std::map<std::string, SimJsonValue> mMembers;
};

struct SimJsonResult {
  std::optional<SimJsonValue> value;
  size_t column = 0;  // 1-based column of the error
  std::string error;  // empty when value is set
};

// Parses exactly one JSON value (blanks around it allowed, nothing else).
SimJsonResult ParseSimJson(std::string_view text);

}  // namespace plendrik::sim
