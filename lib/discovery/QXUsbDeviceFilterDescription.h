// Parser of the device filter description language: lines of comma-separated KEY=value
// statements, one line per device, or a line naming the device interface class GUID.
// The parser holds only the masks of the keys it allows and requires.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/QXUsbDeviceFilter.h"
#include "os/QXOsTypes.h"

namespace plendrik {

// Key bits of allowedKeys and requiredKeys.
enum : uint32_t {
  kQXFilterKeyGuid = 0x001,
  kQXFilterKeyVid = 0x002,
  kQXFilterKeyPid = 0x004,
  kQXFilterKeyMinBcdDevice = 0x008,
  kQXFilterKeyMaxBcdDevice = 0x010,
  kQXFilterKeyIfNumber = 0x020,
  kQXFilterKeyIfClass = 0x040,
  kQXFilterKeyIfSubClass = 0x080,
  kQXFilterKeyIfProt = 0x100,
  kQXFilterKeyAll = 0x1FF,
};

// What one line has collected so far.
struct QXUsbDeviceFilterLineState {
  uint32_t keyCount = 0;
  std::string guid;  // empty until the line gives a GUID
  QXUsbDeviceFilterEntry entry;
};

class QXUsbDeviceFilterDescription {
 public:
  // allowedKeys: keys a statement may use (others are unknown). requiredKeys: keys every
  // device line must give; its GUID bit means that some line of the text must give a GUID.
  QXUsbDeviceFilterDescription(uint32_t allowedKeys, uint32_t requiredKeys)
      : allowedKeys(allowedKeys), requiredKeys(requiredKeys) {}

  // Parses a whole NUL-terminated text into filter (kind is left as the caller set it).
  // On failure the filter is left empty.
  QXSTATUS ParseFilterDescription(QXUsbDeviceFilter& filter, const char* text) const;
  // One trimmed, non-empty line: appends an entry or sets the filter's GUID.
  QXSTATUS ParseLine(QXUsbDeviceFilter& filter, const std::string& line) const;
  // One trimmed, non-empty "KEY=value" statement into the line state.
  QXSTATUS ParseKeyValue(const std::string& statement, QXUsbDeviceFilterLineState& state) const;
  // A numeric value for field; maximum is 0xFFFF for the 16-bit keys and 0xFF for the 8-bit ones.
  QXSTATUS ParseIntValue(const std::string& key, const std::string& value, QXUsbDeviceFilterLineState& state,
                         int32_t& field, uint32_t maximum) const;

  // Cuts text at every delimiter: the earliest occurrence of any delimiter wins, on a tie the
  // longest. The text before each delimiter is a token (also when empty), the rest after the
  // last delimiter the last token. Empty delimiters are ignored.
  static std::vector<std::string> SplitString(std::string_view text,
                                              std::initializer_list<std::string_view> delimiters);
  // Removes leading and trailing blanks, tabs, "\n" and "\r".
  static std::string TrimString(std::string_view text);

  uint32_t allowedKeys;
  uint32_t requiredKeys;
};

}  // namespace plendrik
