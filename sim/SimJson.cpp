// Recursive descent over one line of text; the first error ends the parse.
#include "sim/SimJson.h"

#include <limits>

namespace plendrik::sim {

SimJsonValue SimJsonValue::Bool(bool value) {
  SimJsonValue v;
  v.mKind = Kind::Bool;
  v.mBool = value;
  return v;
}

SimJsonValue SimJsonValue::Integer(int64_t value) {
  SimJsonValue v;
  v.mKind = Kind::Integer;
  v.mInteger = value;
  return v;
}

SimJsonValue SimJsonValue::String(std::string value) {
  SimJsonValue v;
  v.mKind = Kind::String;
  v.mString = std::move(value);
  return v;
}

SimJsonValue SimJsonValue::Array(std::vector<SimJsonValue> items) {
  SimJsonValue v;
  v.mKind = Kind::Array;
  v.mItems = std::move(items);
  return v;
}

SimJsonValue SimJsonValue::Object(std::map<std::string, SimJsonValue> members) {
  SimJsonValue v;
  v.mKind = Kind::Object;
  v.mMembers = std::move(members);
  return v;
}

const SimJsonValue* SimJsonValue::Find(std::string_view key) const {
  if (mKind != Kind::Object) {
    return nullptr;
  }
  const auto it = mMembers.find(std::string(key));
  return it == mMembers.end() ? nullptr : &it->second;
}

std::optional<std::string> SimJsonValue::GetString(std::string_view key) const {
  const SimJsonValue* v = Find(key);
  return v && v->mKind == Kind::String ? std::optional<std::string>(v->mString) : std::nullopt;
}

std::optional<int64_t> SimJsonValue::GetInteger(std::string_view key) const {
  const SimJsonValue* v = Find(key);
  return v && v->mKind == Kind::Integer ? std::optional<int64_t>(v->mInteger) : std::nullopt;
}

std::optional<bool> SimJsonValue::GetBool(std::string_view key) const {
  const SimJsonValue* v = Find(key);
  return v && v->mKind == Kind::Bool ? std::optional<bool>(v->mBool) : std::nullopt;
}

namespace {

// Deep enough for any record, shallow enough that a hostile line cannot exhaust the stack.
constexpr int kMaxDepth = 32;

class Parser {
 public:
  explicit Parser(std::string_view text) : mText(text) {}

  SimJsonResult Run() {
    SimJsonResult result;
    SkipBlanks();
    std::optional<SimJsonValue> value = ParseValue(0);
    if (value) {
      SkipBlanks();
      if (mPos != mText.size()) {
        Fail("unexpected text after the value");
      }
    }
    if (!mError.empty()) {
      result.error = mError;
      result.column = mErrorPos + 1;
      return result;
    }
    result.value = std::move(value);
    return result;
  }

 private:
  bool Fail(const std::string& what) {
    if (mError.empty()) {
      mError = what;
      mErrorPos = mPos;
    }
    return false;
  }

  void SkipBlanks() {
    while (mPos < mText.size() &&
           (mText[mPos] == ' ' || mText[mPos] == '\t' || mText[mPos] == '\r' || mText[mPos] == '\n')) {
      ++mPos;
    }
  }

  bool Literal(std::string_view word) {
    if (mText.substr(mPos, word.size()) != word) {
      return Fail("unknown literal");
    }
    mPos += word.size();
    return true;
  }

  std::optional<SimJsonValue> ParseValue(int depth) {
    if (depth > kMaxDepth) {
      Fail("nested deeper than " + std::to_string(kMaxDepth));
      return std::nullopt;
    }
    if (mPos >= mText.size()) {
      Fail("a value is missing");
      return std::nullopt;
    }
    switch (mText[mPos]) {
      case '{':
        return ParseObject(depth);
      case '[':
        return ParseArray(depth);
      case '"': {
        std::string text;
        if (!ParseString(text)) return std::nullopt;
        return SimJsonValue::String(std::move(text));
      }
      case 't':
        if (!Literal("true")) return std::nullopt;
        return SimJsonValue::Bool(true);
      case 'f':
        if (!Literal("false")) return std::nullopt;
        return SimJsonValue::Bool(false);
      case 'n':
        if (!Literal("null")) return std::nullopt;
        return SimJsonValue();
      default:
        return ParseInteger();
    }
  }

  std::optional<SimJsonValue> ParseObject(int depth) {
    ++mPos;  // '{'
    std::map<std::string, SimJsonValue> members;
    SkipBlanks();
    if (mPos < mText.size() && mText[mPos] == '}') {
      ++mPos;
      return SimJsonValue::Object(std::move(members));
    }
    for (;;) {
      SkipBlanks();
      if (mPos >= mText.size() || mText[mPos] != '"') {
        Fail("expected a member name in quotes");
        return std::nullopt;
      }
      const size_t keyPos = mPos;
      std::string key;
      if (!ParseString(key)) return std::nullopt;
      SkipBlanks();
      if (mPos >= mText.size() || mText[mPos] != ':') {
        Fail("expected ':'");
        return std::nullopt;
      }
      ++mPos;
      SkipBlanks();
      std::optional<SimJsonValue> value = ParseValue(depth + 1);
      if (!value) return std::nullopt;
      if (!members.emplace(key, std::move(*value)).second) {
        mPos = keyPos;
        Fail("member \"" + key + "\" given twice");
        return std::nullopt;
      }
      SkipBlanks();
      if (mPos < mText.size() && mText[mPos] == ',') {
        ++mPos;
        continue;
      }
      if (mPos < mText.size() && mText[mPos] == '}') {
        ++mPos;
        return SimJsonValue::Object(std::move(members));
      }
      Fail("expected ',' or '}'");
      return std::nullopt;
    }
  }

  std::optional<SimJsonValue> ParseArray(int depth) {
    ++mPos;  // '['
    std::vector<SimJsonValue> items;
    SkipBlanks();
    if (mPos < mText.size() && mText[mPos] == ']') {
      ++mPos;
      return SimJsonValue::Array(std::move(items));
    }
    for (;;) {
      SkipBlanks();
      std::optional<SimJsonValue> value = ParseValue(depth + 1);
      if (!value) return std::nullopt;
      items.push_back(std::move(*value));
      SkipBlanks();
      if (mPos < mText.size() && mText[mPos] == ',') {
        ++mPos;
        continue;
      }
      if (mPos < mText.size() && mText[mPos] == ']') {
        ++mPos;
        return SimJsonValue::Array(std::move(items));
      }
      Fail("expected ',' or ']'");
      return std::nullopt;
    }
  }

  std::optional<SimJsonValue> ParseInteger() {
    const size_t start = mPos;
    bool negative = false;
    if (mText[mPos] == '-') {
      negative = true;
      ++mPos;
    }
    if (mPos >= mText.size() || mText[mPos] < '0' || mText[mPos] > '9') {
      mPos = start;
      Fail("unexpected character");
      return std::nullopt;
    }
    if (mText[mPos] == '0' && mPos + 1 < mText.size() && mText[mPos + 1] >= '0' && mText[mPos + 1] <= '9') {
      Fail("a number with a leading zero");
      return std::nullopt;
    }
    // Accumulated as a negative number, so that the most negative value fits.
    int64_t value = 0;
    while (mPos < mText.size() && mText[mPos] >= '0' && mText[mPos] <= '9') {
      const int digit = mText[mPos] - '0';
      if (value < (std::numeric_limits<int64_t>::min() + digit) / 10) {
        mPos = start;
        Fail("a number out of range");
        return std::nullopt;
      }
      value = value * 10 - digit;
      ++mPos;
    }
    if (mPos < mText.size() && (mText[mPos] == '.' || mText[mPos] == 'e' || mText[mPos] == 'E')) {
      Fail("only whole numbers are allowed");
      return std::nullopt;
    }
    if (!negative) {
      if (value == std::numeric_limits<int64_t>::min()) {
        mPos = start;
        Fail("a number out of range");
        return std::nullopt;
      }
      value = -value;
    }
    return SimJsonValue::Integer(value);
  }

  bool Hex4(uint32_t& unit) {
    if (mPos + 4 > mText.size()) {
      return Fail("\\u needs four hex digits");
    }
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = mText[mPos + static_cast<size_t>(i)];
      int digit = -1;
      if (c >= '0' && c <= '9') digit = c - '0';
      if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
      if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
      if (digit < 0) {
        return Fail("\\u needs four hex digits");
      }
      unit = unit * 16 + static_cast<uint32_t>(digit);
    }
    mPos += 4;
    return true;
  }

  static void AppendUtf8(uint32_t cp, std::string& out) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  bool ParseString(std::string& out) {
    ++mPos;  // opening quote
    for (;;) {
      if (mPos >= mText.size()) {
        return Fail("a string without its closing quote");
      }
      const char c = mText[mPos];
      if (c == '"') {
        ++mPos;
        return true;
      }
      if (static_cast<unsigned char>(c) < 0x20) {
        return Fail("a control character in a string");
      }
      if (c != '\\') {
        out.push_back(c);
        ++mPos;
        continue;
      }
      const size_t escapePos = mPos;
      ++mPos;
      if (mPos >= mText.size()) {
        return Fail("a string without its closing quote");
      }
      const char e = mText[mPos++];
      switch (e) {
        case '"':
          out.push_back('"');
          break;
        case '\\':
          out.push_back('\\');
          break;
        case '/':
          out.push_back('/');
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u': {
          uint32_t unit = 0;
          if (!Hex4(unit)) return false;
          if (unit >= 0xDC00 && unit <= 0xDFFF) {
            mPos = escapePos;
            return Fail("a low surrogate without its high surrogate");
          }
          if (unit >= 0xD800 && unit <= 0xDBFF) {
            uint32_t low = 0;
            if (mText.substr(mPos, 2) != "\\u" || (mPos += 2, !Hex4(low)) || low < 0xDC00 || low > 0xDFFF) {
              mPos = escapePos;
              return Fail("a high surrogate without its low surrogate");
            }
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          }
          AppendUtf8(unit, out);
          break;
        }
        default:
          mPos = escapePos;
          return Fail("an unknown escape");
      }
    }
  }

  std::string_view mText;
  size_t mPos = 0;
  std::string mError;
  size_t mErrorPos = 0;
};

}  // namespace

SimJsonResult ParseSimJson(std::string_view text) { return Parser(text).Run(); }

}  // namespace plendrik::sim
