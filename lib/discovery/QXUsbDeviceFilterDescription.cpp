#include "discovery/QXUsbDeviceFilterDescription.h"

#include "diag/QXLog.h"
#include "diag/QXNumeric.h"
#include "os/QXOsString.h"

namespace plendrik {

namespace {

struct KeyInfo {
  const char* name;
  uint32_t bit;
  int32_t QXUsbDeviceFilterEntry::*field;  // null for GUID
  uint32_t maximum;
};

// In lookup order.
constexpr KeyInfo kKeys[] = {
    {"GUID", kQXFilterKeyGuid, nullptr, 0},
    {"VID", kQXFilterKeyVid, &QXUsbDeviceFilterEntry::vendorId, 0xFFFF},
    {"PID", kQXFilterKeyPid, &QXUsbDeviceFilterEntry::productId, 0xFFFF},
    {"MIN_BCDDEVICE", kQXFilterKeyMinBcdDevice, &QXUsbDeviceFilterEntry::minBcdDevice, 0xFFFF},
    {"MAX_BCDDEVICE", kQXFilterKeyMaxBcdDevice, &QXUsbDeviceFilterEntry::maxBcdDevice, 0xFFFF},
    {"IF_NUMBER", kQXFilterKeyIfNumber, &QXUsbDeviceFilterEntry::interfaceNumber, 0xFF},
    {"IF_CLASS", kQXFilterKeyIfClass, &QXUsbDeviceFilterEntry::interfaceClass, 0xFF},
    {"IF_SUBCLASS", kQXFilterKeyIfSubClass, &QXUsbDeviceFilterEntry::interfaceSubClass, 0xFF},
    {"IF_PROT", kQXFilterKeyIfProt, &QXUsbDeviceFilterEntry::interfaceProtocol, 0xFF},
};

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - ('a' - 'A')) : c; }

bool EqualsIgnoringAsciiCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (UpperAscii(a[i]) != UpperAscii(b[i])) {
      return false;
    }
  }
  return i == a.size() && b[i] == '\0';
}

bool IsTrimmed(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

std::vector<std::string> QXUsbDeviceFilterDescription::SplitString(std::string_view text,
                                                                   std::initializer_list<std::string_view> delimiters) {
  std::vector<std::string> tokens;
  size_t pos = 0;
  for (;;) {
    size_t best = std::string_view::npos;
    size_t bestLength = 0;
    for (std::string_view d : delimiters) {
      if (d.empty()) {
        continue;
      }
      const size_t at = text.find(d, pos);
      if (at == std::string_view::npos) {
        continue;
      }
      if (at < best || (at == best && d.size() > bestLength)) {
        best = at;
        bestLength = d.size();
      }
    }
    if (best == std::string_view::npos) {
      tokens.emplace_back(text.substr(pos));
      return tokens;
    }
    tokens.emplace_back(text.substr(pos, best - pos));
    pos = best + bestLength;
  }
}

std::string QXUsbDeviceFilterDescription::TrimString(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsTrimmed(text[begin])) {
    ++begin;
  }
  while (end > begin && IsTrimmed(text[end - 1])) {
    --end;
  }
  return std::string(text.substr(begin, end - begin));
}

QXSTATUS QXUsbDeviceFilterDescription::ParseFilterDescription(QXUsbDeviceFilter& filter, const char* text) const {
  filter.Reset();
  if (text == nullptr) {
    QX_LOG_ERROR("{} is nullptr", "text");
    return QXSTATUS_INVALID_PARAMETER;
  }
  for (const std::string& rawLine : SplitString(text, {"\n", "\r"})) {
    const std::string line = TrimString(rawLine);
    if (line.empty()) {
      continue;
    }
    const QXSTATUS st = ParseLine(filter, line);
    if (st != QXSTATUS_SUCCESS) {
      QX_LOG_ERROR("ParseLine('{}') failed, st={}", line, QXSt{st});
      filter.Reset();
      return st;
    }
  }
  if ((requiredKeys & kQXFilterKeyGuid) != 0 && filter.interfaceGuid.empty()) {
    QX_LOG_ERROR("GUID required but not specified");
    // A refused text leaves no entries behind, as a refused line does.
    filter.Reset();
    return QXSTATUS_INVALID_FORMAT;
  }
  return QXSTATUS_SUCCESS;
}

QXSTATUS QXUsbDeviceFilterDescription::ParseLine(QXUsbDeviceFilter& filter, const std::string& line) const {
  QX_LOG(gLogGlobal, kQXLogLevelTrace, "parsing line '{}'", line);
  QXUsbDeviceFilterLineState state;
  for (const std::string& rawStatement : SplitString(line, {","})) {
    const std::string statement = TrimString(rawStatement);
    if (statement.empty()) {
      continue;
    }
    const QXSTATUS st = ParseKeyValue(statement, state);
    if (st != QXSTATUS_SUCCESS) {
      QX_LOG_ERROR("ParseKeyValue('{}') failed, st={}", statement, QXSt{st});
      return st;
    }
  }
  if (state.keyCount == 0) {
    QX_LOG_ERROR("no keys present in line '{}'", line);
    return QXSTATUS_INVALID_FORMAT;
  }
  if (!state.guid.empty()) {
    if (state.keyCount >= 2) {
      QX_LOG_ERROR("GUID and additional keys present in line '{}'", line);
      return QXSTATUS_INVALID_FORMAT;
    }
    // A later GUID line replaces an earlier one.
    filter.interfaceGuid = QXWidenBytes(state.guid);
    return QXSTATUS_SUCCESS;
  }
  for (const KeyInfo& key : kKeys) {
    if (key.field != nullptr && (requiredKeys & key.bit) != 0 && state.entry.*key.field == -1) {
      QX_LOG_ERROR("Specification in this line is incomplete: '{}'", line);
      return QXSTATUS_INVALID_FORMAT;
    }
  }
  filter.entries.push_back(state.entry);
  return QXSTATUS_SUCCESS;
}

QXSTATUS QXUsbDeviceFilterDescription::ParseKeyValue(const std::string& statement,
                                                     QXUsbDeviceFilterLineState& state) const {
  QX_LOG(gLogGlobal, kQXLogLevelTrace, "parsing statement '{}'", statement);
  const std::vector<std::string> parts = SplitString(statement, {"="});
  if (parts.size() != 2) {
    QX_LOG_ERROR("malformed statement: '{}'", statement);
    return QXSTATUS_INVALID_FORMAT;
  }
  const std::string key = TrimString(parts[0]);
  const std::string value = TrimString(parts[1]);
  if (key.empty()) {
    QX_LOG_ERROR("no key in statement: '{}'", statement);
    return QXSTATUS_INVALID_FORMAT;
  }
  if (value.empty()) {
    QX_LOG_ERROR("no value in statement: '{}'", statement);
    return QXSTATUS_INVALID_FORMAT;
  }
  const KeyInfo* found = nullptr;
  for (const KeyInfo& candidate : kKeys) {
    if ((allowedKeys & candidate.bit) != 0 && EqualsIgnoringAsciiCase(key, candidate.name)) {
      found = &candidate;
      break;
    }
  }
  if (found == nullptr) {
    QX_LOG_ERROR("unknown key '{}'", key);
    return QXSTATUS_INVALID_FORMAT;
  }
  if (found->field == nullptr) {
    // The GUID text is checked when it is converted for enumeration.
    if (!state.guid.empty()) {
      QX_LOG_ERROR("key '{}' already present in this line", key);
      return QXSTATUS_INVALID_FORMAT;
    }
    state.guid = value;
    ++state.keyCount;
    return QXSTATUS_SUCCESS;
  }
  return ParseIntValue(key, value, state, state.entry.*found->field, found->maximum);
}

QXSTATUS QXUsbDeviceFilterDescription::ParseIntValue(const std::string& key, const std::string& value,
                                                     QXUsbDeviceFilterLineState& state, int32_t& field,
                                                     uint32_t maximum) const {
  if (field != -1) {
    QX_LOG_ERROR("key '{}' already present in this line", key);
    return QXSTATUS_DUPLICATE;
  }
  uint32_t number = 0;
  QXSTATUS st = QXConvertStringToNumeric(value.c_str(), number);
  if (st == QXSTATUS_SUCCESS && number > maximum) {
    st = QXSTATUS_OUT_OF_RANGE;
  }
  if (st != QXSTATUS_SUCCESS) {
    QX_LOG_ERROR("key='{}' QXConvertStringToNumeric({}) failed, st={}", key, value, QXSt{st});
    return st;
  }
  field = static_cast<int32_t>(number);
  ++state.keyCount;
  return QXSTATUS_SUCCESS;
}

}  // namespace plendrik
