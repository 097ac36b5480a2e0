#include "sim/SimDeviceFile.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace plendrik::sim {

namespace {

std::string Trim(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t' || text[begin] == '\r')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r')) --end;
  return std::string(text.substr(begin, end - begin));
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Only plain digits, decimal or after "0x": no sign, no blanks, no suffix, at most max.
bool ParseNumber(const std::string& text, unsigned long max, unsigned long& value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const unsigned base = hex ? 16 : 10;
  const size_t first = hex ? 2 : 0;
  if (text.size() == first) return false;
  value = 0;
  for (size_t i = first; i < text.size(); ++i) {
    const int digit = HexDigit(text[i]);
    if (digit < 0 || static_cast<unsigned>(digit) >= base) return false;
    if (value > (max - static_cast<unsigned long>(digit)) / base) return false;
    value = value * base + static_cast<unsigned long>(digit);
  }
  return true;
}

bool ParseBool(const std::string& text, bool& value) {
  const std::string t = Lower(text);
  if (t == "1" || t == "yes" || t == "true") {
    value = true;
    return true;
  }
  if (t == "0" || t == "no" || t == "false") {
    value = false;
    return true;
  }
  return false;
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  std::stringstream stream(text);
  std::string item;
  while (std::getline(stream, item, ',')) {
    item = Trim(item);
    if (!item.empty()) items.push_back(item);
  }
  return items;
}

// Strict UTF-8 to UTF-16: false on malformed, overlong or surrogate sequences.
bool DecodeUtf8(std::string_view text, QXWString& out) {
  out.clear();
  for (size_t i = 0; i < text.size();) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    uint32_t cp = 0;
    size_t extra = 0;
    if (b0 < 0x80) {
      cp = b0;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
      cp = b0 & 0x1F;
      extra = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      cp = b0 & 0x0F;
      extra = 2;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      cp = b0 & 0x07;
      extra = 3;
    } else {
      return false;
    }
    if (extra != 0 && i + extra >= text.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF))) {
      return false;
    }
    if (cp >= 0x10000) {
      out.push_back(static_cast<QXWChar>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<QXWChar>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<QXWChar>(cp));
    }
    i += extra + 1;
  }
  return true;
}

// The device as the file describes it before it becomes a specification.
struct FileDevice {
  SimDeviceSpec spec;
  QXWString manufacturer, product, serial;
  size_t serialLine = 0;
  std::map<std::string, size_t> keyLines;  // key -> the line that gave it
  std::vector<uint8_t> interfaces{0};
  uint8_t interfaceClass = 0xFE, interfaceSubClass = 0x01, interfaceProtocol = 0x02;
  uint8_t dfuAttributes = 0x0B;
  uint16_t dfuDetachTimeout = 1000, dfuTransferSize = 1024, dfuVersion = 0x0110;
  bool functional = true;
  bool containerNone = false;
  bool containerSet = false;
};

SimDeviceSpec Finish(FileDevice& d, uint64_t ordinal) {
  SimDeviceSpec spec = d.spec;
  uint8_t nextString = 1;
  auto addString = [&](const QXWString& text, uint8_t& index) {
    if (!text.empty()) {
      index = nextString++;
      spec.strings[index] = text;
    }
  };
  addString(d.manufacturer, spec.iManufacturer);
  addString(d.product, spec.iProduct);
  addString(d.serial, spec.iSerialNumber);
  SimConfigurationSpec config;
  config.interfaces.clear();
  for (uint8_t number : d.interfaces) {
    SimInterfaceSpec interface;
    interface.interfaceNumber = number;
    SimAltSettingSpec& alt = interface.altSettings.front();
    alt.interfaceClass = d.interfaceClass;
    alt.interfaceSubClass = d.interfaceSubClass;
    alt.interfaceProtocol = d.interfaceProtocol;
    if (d.functional) {
      alt.functionalDescriptors.push_back(
          {9, 0x21, d.dfuAttributes, static_cast<uint8_t>(d.dfuDetachTimeout & 0xFF),
           static_cast<uint8_t>(d.dfuDetachTimeout >> 8), static_cast<uint8_t>(d.dfuTransferSize & 0xFF),
           static_cast<uint8_t>(d.dfuTransferSize >> 8), static_cast<uint8_t>(d.dfuVersion & 0xFF),
           static_cast<uint8_t>(d.dfuVersion >> 8)});
    }
    config.interfaces.push_back(interface);
  }
  spec.configurations = {config};
  if (!d.containerSet && !d.containerNone) {
    // A stable container identifier per device of the file.
    SimGuid container;
    SimGuid::Parse(std::string_view("8c1a0a51-2e6f-4b7d-9a00-000000000000"), container);
    container.data4[7] = static_cast<uint8_t>(ordinal & 0xFF);
    container.data4[6] = static_cast<uint8_t>((ordinal >> 8) & 0xFF);
    spec.identity.containerId = container;
  }
  return spec;
}

std::string Error(size_t line, const std::string& what) { return "line " + std::to_string(line) + ": " + what; }

// A string descriptor holds at most (255 - 2) / 2 UTF-16 units.
constexpr size_t kMaxStringDescriptorUnits = 126;
// Windows device instance identifiers have at most 200 characters; no part of one is longer.
constexpr size_t kMaxIdentifierLength = 200;
// Enough for any real device, small enough to refuse a runaway list.
constexpr size_t kMaxListItems = 32;

// Stores a value; false with why set (or empty: "invalid value") when the value is refused.
using KeySetter = bool (*)(FileDevice& device, const std::string& value, std::string& why);

template <class T, unsigned long Max>
bool SetNumber(const std::string& value, T& field) {
  unsigned long n = 0;
  if (!ParseNumber(value, Max, n)) return false;
  field = static_cast<T>(n);
  return true;
}

bool SetString(const std::string& value, QXWString& field, std::string& why) {
  if (!DecodeUtf8(value, field)) {
    why = "not valid UTF-8";
    return false;
  }
  if (field.size() > kMaxStringDescriptorUnits) {
    why = "longer than " + std::to_string(kMaxStringDescriptorUnits) + " UTF-16 units";
    return false;
  }
  return true;
}

bool SetIdentifier(const std::string& value, QXWString& field, std::string& why) {
  if (value.size() > kMaxIdentifierLength) {
    why = "longer than " + std::to_string(kMaxIdentifierLength) + " characters";
    return false;
  }
  for (char c : value) {
    if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7E) {
      why = "only printable ASCII characters without blanks are allowed";
      return false;
    }
  }
  field = SimWiden(value);
  return true;
}

template <class T, unsigned long Max>
bool SetNumberList(const std::string& value, std::vector<T>& list, bool allowEmpty, std::string& why) {
  list.clear();
  for (const std::string& item : SplitList(value)) {
    T n{};
    if (!SetNumber<T, Max>(item, n)) {
      why = "'" + item + "' is not a number from 0 to " + std::to_string(Max);
      return false;
    }
    if (std::find(list.begin(), list.end(), n) != list.end()) {
      why = "'" + item + "' is listed twice";
      return false;
    }
    list.push_back(n);
  }
  if (list.size() > kMaxListItems) {
    why = "more than " + std::to_string(kMaxListItems) + " items";
    return false;
  }
  return allowEmpty || !list.empty();
}

struct KeyRule {
  const char* name;  // lower case
  KeySetter set;
};

using Value = const std::string&;
using Why = std::string&;

// The keys of a [Device] section. A new key is one row here.
const KeyRule kKeyRules[] = {
    {"vendorid", [](FileDevice& d, Value v, Why) { return SetNumber<uint16_t, 0xFFFF>(v, d.spec.vendorId); }},
    {"productid", [](FileDevice& d, Value v, Why) { return SetNumber<uint16_t, 0xFFFF>(v, d.spec.productId); }},
    {"bcddevice", [](FileDevice& d, Value v, Why) { return SetNumber<uint16_t, 0xFFFF>(v, d.spec.bcdDevice); }},
    {"manufacturer", [](FileDevice& d, Value v, Why why) { return SetString(v, d.manufacturer, why); }},
    {"product", [](FileDevice& d, Value v, Why why) { return SetString(v, d.product, why); }},
    {"serialnumber", [](FileDevice& d, Value v, Why why) { return SetString(v, d.serial, why); }},
    {"langids",
     [](FileDevice& d, Value v, Why why) { return SetNumberList<uint16_t, 0xFFFF>(v, d.spec.langIds, true, why); }},
    {"interfaces",
     [](FileDevice& d, Value v, Why why) { return SetNumberList<uint8_t, 0xFF>(v, d.interfaces, false, why); }},
    {"interfaceclass", [](FileDevice& d, Value v, Why) { return SetNumber<uint8_t, 0xFF>(v, d.interfaceClass); }},
    {"interfacesubclass", [](FileDevice& d, Value v, Why) { return SetNumber<uint8_t, 0xFF>(v, d.interfaceSubClass); }},
    {"interfaceprotocol", [](FileDevice& d, Value v, Why) { return SetNumber<uint8_t, 0xFF>(v, d.interfaceProtocol); }},
    {"dfufunctional", [](FileDevice& d, Value v, Why) { return ParseBool(v, d.functional); }},
    {"dfuattributes", [](FileDevice& d, Value v, Why) { return SetNumber<uint8_t, 0xFF>(v, d.dfuAttributes); }},
    {"dfudetachtimeout",
     [](FileDevice& d, Value v, Why) { return SetNumber<uint16_t, 0xFFFF>(v, d.dfuDetachTimeout); }},
    {"dfutransfersize", [](FileDevice& d, Value v, Why) { return SetNumber<uint16_t, 0xFFFF>(v, d.dfuTransferSize); }},
    {"dfuversion", [](FileDevice& d, Value v, Why) { return SetNumber<uint16_t, 0xFFFF>(v, d.dfuVersion); }},
    {"composite", [](FileDevice& d, Value v, Why) { return ParseBool(v, d.spec.identity.composite); }},
    {"revisioninhardwareid",
     [](FileDevice& d, Value v, Why) { return ParseBool(v, d.spec.identity.revisionInHardwareId); }},
    {"hardwareids",
     [](FileDevice& d, Value v, Why why) {
       d.spec.identity.hardwareIds.clear();
       for (const std::string& item : SplitList(v)) {
         QXWString id;
         if (!SetIdentifier(item, id, why)) return false;
         d.spec.identity.hardwareIds.push_back(id);
       }
       if (d.spec.identity.hardwareIds.size() > kMaxListItems) {
         why = "more than " + std::to_string(kMaxListItems) + " items";
         return false;
       }
       return true;
     }},
    {"instancesuffix",
     [](FileDevice& d, Value v, Why why) { return SetIdentifier(v, d.spec.identity.instanceSuffix, why); }},
    {"containerid",
     [](FileDevice& d, Value v, Why) {
       if (Lower(v) == "none") {
         d.containerNone = true;
         d.spec.identity.containerId.reset();
         return true;
       }
       SimGuid guid;
       if (!SimGuid::Parse(std::string_view(v), guid)) return false;
       d.spec.identity.containerId = guid;
       d.containerSet = true;
       return true;
     }},
    {"interfaceguid", [](FileDevice& d, Value v,
                         Why) { return SimGuid::Parse(std::string_view(v), d.spec.identity.interfaceClassGuid); }},
};

const KeyRule* FindKey(const std::string& key) {
  for (const KeyRule& rule : kKeyRules) {
    if (key == rule.name) return &rule;
  }
  return nullptr;
}

// Serial numbers become instance identifiers, which Windows compares without letter case.
bool SameSerial(const QXWString& a, const QXWString& b) {
  auto fold = [](QXWChar c) { return (c >= 'a' && c <= 'z') ? static_cast<QXWChar>(c - 'a' + 'A') : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](QXWChar x, QXWChar y) { return fold(x) == fold(y); });
}

}  // namespace

SimDeviceFileResult ParseSimDeviceFile(std::string_view text, const SimGuid& interfaceClassGuid) {
  SimDeviceFileResult result;
  // A UTF-8 byte order mark, as editors on Windows write it, is skipped like the ini files do.
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (text.substr(0, kBom.size()) == kBom) {
    text.remove_prefix(kBom.size());
  }
  std::vector<FileDevice> devices;
  FileDevice* current = nullptr;
  std::istringstream stream{std::string(text)};
  std::string raw;
  size_t lineNumber = 0;
  while (std::getline(stream, raw)) {
    ++lineNumber;
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == ';' || line[0] == '#') {
      continue;
    }
    if (line.front() == '[') {
      if (line.back() != ']') {
        result.error = Error(lineNumber, "section header without ']'");
        return result;
      }
      const std::string name = Lower(Trim(line.substr(1, line.size() - 2)));
      if (name.rfind("device", 0) != 0) {
        result.error = Error(lineNumber, "unknown section '" + line + "'");
        return result;
      }
      devices.emplace_back();
      current = &devices.back();
      current->spec.identity.interfaceClassGuid = interfaceClassGuid;
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string::npos) {
      result.error = Error(lineNumber, "expected 'key = value'");
      return result;
    }
    if (current == nullptr) {
      result.error = Error(lineNumber, "key outside a [Device] section");
      return result;
    }
    const std::string key = Lower(Trim(line.substr(0, equals)));
    const std::string value = Trim(line.substr(equals + 1));
    const KeyRule* rule = FindKey(key);
    if (rule == nullptr) {
      result.error = Error(lineNumber, "unknown key '" + key + "'");
      return result;
    }
    const auto [earlier, first] = current->keyLines.emplace(key, lineNumber);
    if (!first) {
      result.error = Error(lineNumber, "key '" + key + "' given twice in one device (first on line " +
                                           std::to_string(earlier->second) + ")");
      return result;
    }
    std::string why;
    if (!rule->set(*current, value, why)) {
      // Megabyte-long values are not quoted back in full.
      const std::string shown = value.size() > 60 ? value.substr(0, 60) + "..." : value;
      result.error =
          Error(lineNumber, "invalid value '" + shown + "' for '" + key + "'" + (why.empty() ? "" : ": " + why));
      return result;
    }
    if (key == "serialnumber") {
      current->serialLine = lineNumber;
    }
  }
  for (size_t i = 0; i < devices.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (!devices[i].serial.empty() && SameSerial(devices[i].serial, devices[j].serial)) {
        result.error = Error(devices[i].serialLine, "serial number already used by the device on line " +
                                                        std::to_string(devices[j].serialLine));
        return result;
      }
    }
  }
  uint64_t ordinal = 1;
  for (FileDevice& device : devices) {
    result.specs.push_back(Finish(device, ordinal++));
  }
  result.ok = true;
  return result;
}

void SyncFileDevices(std::vector<FileAttached>& attached, const std::vector<SimDeviceSpec>& specs) {
  VirtualUsbBus& bus = VirtualUsbBus::Instance();
  // A device stays when the file still describes it exactly as before; every other device
  // of the last load leaves, and every description not matched arrives anew.
  std::vector<bool> kept(specs.size(), false);
  std::vector<FileAttached> next;
  std::vector<uint64_t> leaving;
  for (FileAttached& device : attached) {
    bool stays = false;
    for (size_t i = 0; i < specs.size(); ++i) {
      if (!kept[i] && specs[i] == device.spec && bus.FindDevice(device.deviceId) != nullptr) {
        kept[i] = true;
        stays = true;
        break;
      }
    }
    if (stays) {
      next.push_back(std::move(device));
    } else {
      leaving.push_back(device.deviceId);
    }
  }
  for (uint64_t id : leaving) {
    bus.Detach(id);
  }
  for (size_t i = 0; i < specs.size(); ++i) {
    if (!kept[i]) {
      next.push_back(FileAttached{specs[i], bus.Attach(specs[i])->Id()});
    }
  }
  attached = std::move(next);
}

SimDeviceFileResult LoadSimDeviceFile(const QXWString& path, const SimGuid& interfaceClassGuid) {
  static std::mutex mutex;
  static std::vector<FileAttached> attachedByFile;
  SimDeviceFileResult result;
  const std::filesystem::path filePath(path);
  std::error_code ec;
  if (std::filesystem::is_directory(filePath, ec)) {
    result.error = "is a folder, not a file";
    return result;
  }
  std::ifstream file(filePath, std::ios::binary);
  if (!file) {
    result.error = "cannot open the file";
    return result;
  }
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) {
    result.error = "cannot read the file";
    return result;
  }
  result = ParseSimDeviceFile(text.str(), interfaceClassGuid);
  if (!result.ok) {
    return result;
  }
  std::lock_guard<std::mutex> lock(mutex);
  SyncFileDevices(attachedByFile, result.specs);
  return result;
}

}  // namespace plendrik::sim
