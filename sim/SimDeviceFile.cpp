#include "sim/SimDeviceFile.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "sim/SimDfuVariantKeys.h"

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

// What an InterfaceN.Key line sets for one interface; unset fields take the device's values.
struct InterfaceSettings {
  std::optional<uint8_t> interfaceClass, interfaceSubClass, interfaceProtocol, dfuAttributes;
  std::optional<uint16_t> dfuDetachTimeout, dfuTransferSize, dfuVersion;
  std::optional<bool> functional;
  size_t line = 0;  // the first line that named the interface
};

// The device as the file describes it before it becomes a specification.
struct FileDevice {
  SimDeviceSpec spec;
  QXWString manufacturer, product, serial;
  size_t serialLine = 0;
  std::map<std::string, size_t> keyLines;        // key -> the line that gave it
  std::map<std::string, std::string> keyValues;  // key -> its value as written
  std::vector<uint8_t> interfaces{0};
  uint8_t interfaceClass = 0xFE, interfaceSubClass = 0x01, interfaceProtocol = 0x02;
  uint8_t dfuAttributes = 0x0B;
  uint16_t dfuDetachTimeout = 1000, dfuTransferSize = 1024, dfuVersion = 0x0110;
  bool functional = true;
  bool containerNone = false;
  bool containerSet = false;
  std::map<uint8_t, InterfaceSettings> interfaceSettings;  // InterfaceN.Key

  // The DFU behaviour (Model = dfu, or any key that only a DFU device has).
  std::optional<bool> dfuModel;
  std::string dfuOnlyKey, genericOnlyKey;  // the first key of each kind, to name in an error
  SimDfuDeviceConfig dfu;
  std::optional<uint16_t> bootloaderProductId;
  std::optional<bool> manifestationTolerant, willDetach;
  uint8_t dfuInterface = 0;
  uint32_t targets = 1;
  std::map<uint8_t, std::string> firmwareFiles;
  std::optional<uint16_t> errorAtBlock, noAnswerAtBlock;
  std::optional<uint8_t> errorStatus;
  bool stayOnBus = false;
  SimDfuVariantKeys variantKeys;  // how strict the device is

  // Model = replay: a recorded device that brings its own identity and descriptors.
  bool replay = false;
  std::string recording, recordedDevice;
  SimReplayLatency latency = SimReplayLatency::Recorded;
  std::string replayOnlyKey, describingKey;  // the first key of each kind, to name in an error
};

// The section of a device as its keys and values, independent of their order and of the
// letter case of the keys: what tells whether a device is described as before.
std::string CanonicalSection(const FileDevice& d) {
  std::string text;
  for (const auto& [key, value] : d.keyValues) {
    text += key + '=' + value + '\n';
  }
  return text;
}

// 64-bit FNV-1a.
uint64_t Fnv1a(std::string_view text, uint64_t hash = 0xCBF29CE484222325ull) {
  for (const char c : text) {
    hash = (hash ^ static_cast<uint8_t>(c)) * 0x100000001B3ull;
  }
  return hash;
}

// The container identifier a device gets unless the file names one: derived from its section
// (and, for sections written alike, from how many such sections come before it), so that it
// stays the same when other devices are added, removed or moved around it.
void DefaultContainer(FileDevice& d, const std::string& section, uint64_t repeat) {
  if (!d.containerSet && !d.containerNone) {
    SimGuid container;
    SimGuid::Parse(std::string_view("8c1a0a51-2e6f-4b7d-9a00-000000000000"), container);
    const uint64_t hash = Fnv1a(std::to_string(repeat), Fnv1a(section));
    for (size_t i = 0; i < 6; ++i) {
      container.data4[2 + i] = static_cast<uint8_t>(hash >> (8 * i));
    }
    d.spec.identity.containerId = container;
  }
}

std::vector<uint8_t> FunctionalDescriptor(uint8_t attributes, uint16_t detachTimeout, uint16_t transferSize,
                                          uint16_t version) {
  return {9,
          0x21,
          attributes,
          static_cast<uint8_t>(detachTimeout & 0xFF),
          static_cast<uint8_t>(detachTimeout >> 8),
          static_cast<uint8_t>(transferSize & 0xFF),
          static_cast<uint8_t>(transferSize >> 8),
          static_cast<uint8_t>(version & 0xFF),
          static_cast<uint8_t>(version >> 8)};
}

// One interface as the device-wide keys and its own InterfaceN keys describe it; the other
// interfaces of a DFU device default to a vendor-specific interface without DFU descriptor.
SimInterfaceSpec BuildInterface(const FileDevice& d, uint8_t number, bool otherOfDfuDevice) {
  InterfaceSettings own;
  if (const auto it = d.interfaceSettings.find(number); it != d.interfaceSettings.end()) {
    own = it->second;
  }
  SimInterfaceSpec interface;
  interface.interfaceNumber = number;
  SimAltSettingSpec& alt = interface.altSettings.front();
  alt.interfaceClass = own.interfaceClass.value_or(otherOfDfuDevice ? 0xFF : d.interfaceClass);
  alt.interfaceSubClass = own.interfaceSubClass.value_or(otherOfDfuDevice ? 0x00 : d.interfaceSubClass);
  alt.interfaceProtocol = own.interfaceProtocol.value_or(otherOfDfuDevice ? 0x00 : d.interfaceProtocol);
  const bool ownDfuFields = own.dfuAttributes || own.dfuDetachTimeout || own.dfuTransferSize || own.dfuVersion;
  if (own.functional.value_or(otherOfDfuDevice ? ownDfuFields : d.functional)) {
    alt.functionalDescriptors.push_back(FunctionalDescriptor(
        own.dfuAttributes.value_or(d.dfuAttributes), own.dfuDetachTimeout.value_or(d.dfuDetachTimeout),
        own.dfuTransferSize.value_or(d.dfuTransferSize), own.dfuVersion.value_or(d.dfuVersion)));
  }
  return interface;
}

SimDfuFileDevice BuildDfuDevice(FileDevice& d) {
  SimDfuFileDevice result;
  SimDfuDeviceConfig& c = result.config;
  c = d.dfu;
  c.vendorId = d.spec.vendorId;
  c.applicationProductId = d.spec.productId;
  c.bootloaderProductId = d.bootloaderProductId.value_or(d.spec.productId);
  c.bcdDevice = d.spec.bcdDevice;
  c.manufacturer = d.manufacturer;
  c.product = d.product;
  c.serialNumber = d.serial;
  c.identity = d.spec.identity;
  c.applicationDfuInterface = d.dfuInterface;
  c.bootloaderDfuInterface = 0;  // the bootloader offers its DFU interface only
  for (uint8_t number : d.interfaces) {
    if (number != d.dfuInterface) {
      c.otherApplicationInterfaces.push_back(BuildInterface(d, number, true));
    }
  }
  c.bmAttributes = d.dfuAttributes;
  const auto setBit = [&c](std::optional<bool> flag, uint8_t bit) {
    if (flag) {
      c.bmAttributes = static_cast<uint8_t>(*flag ? (c.bmAttributes | bit) : (c.bmAttributes & ~bit));
    }
  };
  setBit(d.manifestationTolerant, dfu::kManifestationTolerant);
  setBit(d.willDetach, dfu::kWillDetach);
  c.wDetachTimeOut = d.dfuDetachTimeout;
  c.wTransferSize = d.dfuTransferSize;
  c.bcdDFUVersion = d.dfuVersion;
  c.targets.assign(d.targets, SimDfuTargetConfig{});
  if (d.errorAtBlock) {
    SimDfuFault fault;
    fault.action = SimDfuFaultAction::DfuError;
    fault.request = SimDfuRequestKind::Dnload;
    fault.block = *d.errorAtBlock;
    fault.bStatus = d.errorStatus.value_or(dfu::errUNKNOWN);
    c.faults.push_back(fault);
  }
  if (d.noAnswerAtBlock) {
    SimDfuFault fault;
    fault.action = SimDfuFaultAction::NoAnswer;
    fault.request = SimDfuRequestKind::Dnload;
    fault.block = *d.noAnswerAtBlock;
    c.faults.push_back(fault);
  }
  if (d.stayOnBus) {
    // Every request that would take it off the bus is acknowledged, for ever.
    for (SimDfuRequestKind kind :
         {SimDfuRequestKind::Detach, SimDfuRequestKind::XmosToBootloader, SimDfuRequestKind::XmosToApplication}) {
      SimDfuFault fault;
      fault.action = SimDfuFaultAction::StayOnBus;
      fault.request = kind;
      fault.count = 0;
      c.faults.push_back(fault);
    }
  }
  c.variants = d.variantKeys.Resolve();
  result.firmwareFiles = d.firmwareFiles;
  return result;
}

SimDeviceSpec Finish(FileDevice& d, const std::string& section, uint64_t repeat) {
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
    config.interfaces.push_back(BuildInterface(d, number, false));
  }
  spec.configurations = {config};
  DefaultContainer(d, section, repeat);
  spec.identity.containerId = d.spec.identity.containerId;
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

// Which devices a key belongs to: any, only a DFU device (giving it makes the device one),
// a DFU device or a replayed one, only a device without DFU behaviour (a DFU device's run mode
// decides it), or only a replayed device (which takes no other key but Model and the
// DfuOrReplay keys).
enum class KeyScope { Any, Dfu, DfuOrReplay, NotDfu, Replay };

struct KeyRule {
  const char* name;  // lower case
  KeySetter set;
  KeyScope scope = KeyScope::Any;
};

using Value = const std::string&;
using Why = std::string&;

// Times in whole milliseconds; a minute at most, so that a typing error cannot stall a run.
bool SetMilliseconds(const std::string& value, std::chrono::microseconds& field, std::string& why) {
  unsigned long ms = 0;
  if (!ParseNumber(value, 60000, ms)) {
    why = "a number of milliseconds from 0 to 60000";
    return false;
  }
  field = std::chrono::milliseconds(ms);
  return true;
}

bool SetPath(const std::string& value, std::string& field, std::string& why) {
  QXWString wide;
  if (value.empty() || !DecodeUtf8(value, wide)) {
    why = "a file name in UTF-8";
    return false;
  }
  field = value;
  return true;
}

// The keys of a [Device] section. A new key is one row here.
const KeyRule kKeyRules[] = {
    {"vendorid", [](FileDevice& d, Value v, Why) { return SetNumber<uint16_t, 0xFFFF>(v, d.spec.vendorId); }},
    {"productid", [](FileDevice& d, Value v, Why) { return SetNumber<uint16_t, 0xFFFF>(v, d.spec.productId); }},
    {"bcddevice", [](FileDevice& d, Value v, Why) { return SetNumber<uint16_t, 0xFFFF>(v, d.spec.bcdDevice); }},
    {"manufacturer", [](FileDevice& d, Value v, Why why) { return SetString(v, d.manufacturer, why); }},
    {"product", [](FileDevice& d, Value v, Why why) { return SetString(v, d.product, why); }},
    {"serialnumber", [](FileDevice& d, Value v, Why why) { return SetString(v, d.serial, why); }},
    {"langids",
     [](FileDevice& d, Value v, Why why) { return SetNumberList<uint16_t, 0xFFFF>(v, d.spec.langIds, true, why); },
     KeyScope::NotDfu},
    {"interfaces",
     [](FileDevice& d, Value v, Why why) { return SetNumberList<uint8_t, 0xFF>(v, d.interfaces, false, why); }},
    {"interfaceclass", [](FileDevice& d, Value v, Why) { return SetNumber<uint8_t, 0xFF>(v, d.interfaceClass); },
     KeyScope::NotDfu},
    {"interfacesubclass", [](FileDevice& d, Value v, Why) { return SetNumber<uint8_t, 0xFF>(v, d.interfaceSubClass); },
     KeyScope::NotDfu},
    {"interfaceprotocol", [](FileDevice& d, Value v, Why) { return SetNumber<uint8_t, 0xFF>(v, d.interfaceProtocol); },
     KeyScope::NotDfu},
    {"dfufunctional", [](FileDevice& d, Value v, Why) { return ParseBool(v, d.functional); }, KeyScope::NotDfu},
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
    // The DFU device.
    {"model",
     [](FileDevice& d, Value v, Why why) {
       const std::string model = Lower(v);
       if (model != "dfu" && model != "plain" && model != "replay") {
         why = "'dfu', 'plain' or 'replay'";
         return false;
       }
       d.replay = model == "replay";
       if (!d.replay) d.dfuModel = model == "dfu";
       return true;
     }},
    {"runmode",
     [](FileDevice& d, Value v, Why why) {
       const std::string mode = Lower(v);
       if (mode != "application" && mode != "bootloader") {
         why = "'application' or 'bootloader'";
         return false;
       }
       d.dfu.startMode = mode == "application" ? SimRunMode::Application : SimRunMode::Bootloader;
       return true;
     },
     KeyScope::Dfu},
    {"bootloaderproductid",
     [](FileDevice& d, Value v, Why) {
       uint16_t id = 0;
       if (!SetNumber<uint16_t, 0xFFFF>(v, id)) return false;
       d.bootloaderProductId = id;
       return true;
     },
     KeyScope::Dfu},
    {"dfuinterface", [](FileDevice& d, Value v, Why) { return SetNumber<uint8_t, 0xFF>(v, d.dfuInterface); },
     KeyScope::Dfu},
    {"targets",
     [](FileDevice& d, Value v, Why why) {
       if (!SetNumber<uint32_t, kMaxListItems>(v, d.targets) || d.targets == 0) {
         why = "a number from 1 to " + std::to_string(kMaxListItems);
         return false;
       }
       return true;
     },
     KeyScope::Dfu},
    {"polltimeoutms",
     [](FileDevice& d, Value v, Why why) {
       std::chrono::microseconds time{0};
       if (!SetMilliseconds(v, time, why)) return false;
       d.dfu.pollTimeoutMs = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(time).count());
       return true;
     },
     KeyScope::Dfu},
    {"flashtimeperblockms",
     [](FileDevice& d, Value v, Why why) { return SetMilliseconds(v, d.dfu.flashWritePerBlock, why); }, KeyScope::Dfu},
    {"manifestationtimems",
     [](FileDevice& d, Value v, Why why) { return SetMilliseconds(v, d.dfu.manifestationTime, why); }, KeyScope::Dfu},
    {"detachdelayms",
     [](FileDevice& d, Value v, Why why) {
       std::chrono::microseconds time{0};
       if (!SetMilliseconds(v, time, why)) return false;
       d.dfu.detachDelay = time;
       return true;
     },
     KeyScope::Dfu},
    {"rejoindelayms", [](FileDevice& d, Value v, Why why) { return SetMilliseconds(v, d.dfu.rejoinDelay, why); },
     KeyScope::Dfu},
    {"manifestationtolerant",
     [](FileDevice& d, Value v, Why) {
       bool flag = false;
       if (!ParseBool(v, flag)) return false;
       d.manifestationTolerant = flag;
       return true;
     },
     KeyScope::Dfu},
    {"willdetach",
     [](FileDevice& d, Value v, Why) {
       bool flag = false;
       if (!ParseBool(v, flag)) return false;
       d.willDetach = flag;
       return true;
     },
     KeyScope::Dfu},
    {"receivedfirmwarefile", [](FileDevice& d, Value v, Why why) { return SetPath(v, d.firmwareFiles[0], why); },
     KeyScope::DfuOrReplay},
    {"erroratblock",
     [](FileDevice& d, Value v, Why) {
       uint16_t block = 0;
       if (!SetNumber<uint16_t, 0xFFFF>(v, block)) return false;
       d.errorAtBlock = block;
       return true;
     },
     KeyScope::Dfu},
    {"errorstatus",
     [](FileDevice& d, Value v, Why why) {
       uint8_t status = 0;
       if (!SetNumber<uint8_t, 0xFF>(v, status) || status == 0 || status > dfu::errSTALLEDPKT) {
         why = "a DFU bStatus from 0x01 to 0x0F";
         return false;
       }
       d.errorStatus = status;
       return true;
     },
     KeyScope::Dfu},
    {"noansweratblock",
     [](FileDevice& d, Value v, Why) {
       uint16_t block = 0;
       if (!SetNumber<uint16_t, 0xFFFF>(v, block)) return false;
       d.noAnswerAtBlock = block;
       return true;
     },
     KeyScope::Dfu},
    {"stayonbusafterdetach", [](FileDevice& d, Value v, Why) { return ParseBool(v, d.stayOnBus); }, KeyScope::Dfu},
    // A replayed device.
    {"recording", [](FileDevice& d, Value v, Why why) { return SetPath(v, d.recording, why); }, KeyScope::Replay},
    {"recordeddevice",
     [](FileDevice& d, Value v, Why why) {
       if (v.empty()) {
         why = "a device label of the recording, e.g. d1";
         return false;
       }
       d.recordedDevice = v;
       return true;
     },
     KeyScope::Replay},
    {"latency",
     [](FileDevice& d, Value v, Why why) {
       const std::string latency = Lower(v);
       if (latency != "recorded" && latency != "zero") {
         why = "'recorded' or 'zero'";
         return false;
       }
       d.latency = latency == "zero" ? SimReplayLatency::Zero : SimReplayLatency::Recorded;
       return true;
     },
     KeyScope::Replay},
};

// InterfaceN.Key: the settings of one interface.
struct InterfaceKeyRule {
  const char* name;  // lower case, after "interfaceN."
  bool (*set)(InterfaceSettings& s, const std::string& value);
};

template <class T, unsigned long Max>
bool SetOptionalNumber(const std::string& value, std::optional<T>& field) {
  T n{};
  if (!SetNumber<T, Max>(value, n)) return false;
  field = n;
  return true;
}

const InterfaceKeyRule kInterfaceKeyRules[] = {
    {"class", [](InterfaceSettings& s, Value v) { return SetOptionalNumber<uint8_t, 0xFF>(v, s.interfaceClass); }},
    {"subclass",
     [](InterfaceSettings& s, Value v) { return SetOptionalNumber<uint8_t, 0xFF>(v, s.interfaceSubClass); }},
    {"protocol",
     [](InterfaceSettings& s, Value v) { return SetOptionalNumber<uint8_t, 0xFF>(v, s.interfaceProtocol); }},
    {"dfufunctional",
     [](InterfaceSettings& s, Value v) {
       bool flag = false;
       if (!ParseBool(v, flag)) return false;
       s.functional = flag;
       return true;
     }},
    {"dfuattributes",
     [](InterfaceSettings& s, Value v) { return SetOptionalNumber<uint8_t, 0xFF>(v, s.dfuAttributes); }},
    {"dfudetachtimeout",
     [](InterfaceSettings& s, Value v) { return SetOptionalNumber<uint16_t, 0xFFFF>(v, s.dfuDetachTimeout); }},
    {"dfutransfersize",
     [](InterfaceSettings& s, Value v) { return SetOptionalNumber<uint16_t, 0xFFFF>(v, s.dfuTransferSize); }},
    {"dfuversion", [](InterfaceSettings& s, Value v) { return SetOptionalNumber<uint16_t, 0xFFFF>(v, s.dfuVersion); }},
};

// Splits "<prefix>N.rest" (N decimal or 0x hex, at most 255); false when key is not of that form.
bool SplitIndexedKey(const std::string& key, const std::string& prefix, uint8_t& index, std::string& rest) {
  if (key.rfind(prefix, 0) != 0) return false;
  const size_t dot = key.find('.', prefix.size());
  if (dot == std::string::npos) return false;
  unsigned long n = 0;
  if (!ParseNumber(key.substr(prefix.size(), dot - prefix.size()), 0xFF, n)) return false;
  index = static_cast<uint8_t>(n);
  rest = key.substr(dot + 1);
  return true;
}

// The checks that need the whole section (its keys may come in any order); "" when fine.
std::string CheckDevice(const FileDevice& d) {
  const auto lineOf = [&d](const std::string& key) {
    const auto it = d.keyLines.find(key);
    return it == d.keyLines.end() ? size_t{0} : it->second;
  };
  if (d.replay && !d.describingKey.empty()) {
    return Error(lineOf(d.describingKey), "'" + d.describingKey +
                                              "' does not apply to a replayed device: it takes its identity and "
                                              "descriptors from the recording");
  }
  if (d.replay && d.recording.empty()) {
    return Error(lineOf("model"), "'Model = replay' needs 'Recording'");
  }
  if (!d.replay && !d.replayOnlyKey.empty()) {
    return Error(lineOf(d.replayOnlyKey), "'" + d.replayOnlyKey + "' needs 'Model = replay'");
  }
  if (d.replay) {
    return {};
  }
  const bool isDfu = d.dfuModel.value_or(!d.dfuOnlyKey.empty());
  if (!isDfu && !d.dfuOnlyKey.empty()) {
    return Error(lineOf(d.dfuOnlyKey), "'" + d.dfuOnlyKey + "' needs a DFU device, not 'Model = plain'");
  }
  if (isDfu && !d.genericOnlyKey.empty()) {
    return Error(lineOf(d.genericOnlyKey), "'" + d.genericOnlyKey +
                                               "' does not apply to a DFU device: its run mode sets its DFU "
                                               "interface (other interfaces take InterfaceN keys)");
  }
  const bool listed = lineOf("interfaces") != 0;
  for (const auto& [number, settings] : d.interfaceSettings) {
    if (std::find(d.interfaces.begin(), d.interfaces.end(), number) == d.interfaces.end()) {
      return Error(settings.line, "interface " + std::to_string(number) + " is not in 'Interfaces'");
    }
    if (isDfu && number == d.dfuInterface) {
      return Error(settings.line,
                   "interface " + std::to_string(number) + " is the DFU interface, which the run mode describes");
    }
  }
  if (isDfu && listed && std::find(d.interfaces.begin(), d.interfaces.end(), d.dfuInterface) == d.interfaces.end()) {
    return Error(lineOf("interfaces"), "the DFU interface " + std::to_string(d.dfuInterface) + " is not listed");
  }
  for (const auto& [target, file] : d.firmwareFiles) {
    if (target >= d.targets) {
      return Error(
          lineOf("target" + std::to_string(target) + ".receivedfirmwarefile"),
          "target " + std::to_string(target) + " does not exist (Targets = " + std::to_string(d.targets) + ")");
    }
  }
  if (d.errorStatus && !d.errorAtBlock) {
    return Error(lineOf("errorstatus"), "'errorstatus' needs 'ErrorAtBlock'");
  }
  return {};
}

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

// Reads the recording a replayed device names; "" when it can replay, else why not.
std::string LoadReplay(const FileDevice& d, const std::filesystem::path& folder, SimReplayFileDevice& replay) {
  std::filesystem::path path(std::u8string(d.recording.begin(), d.recording.end()));
  if (path.is_relative()) {
    path = folder / path;
  }
  const SimRecordingResult loaded = LoadSimRecording(path);
  if (!loaded.recording) {
    return loaded.error;
  }
  replay.recording = loaded.recording;
  replay.label = d.recordedDevice;
  replay.latency = d.latency;
  if (const auto file = d.firmwareFiles.find(0); file != d.firmwareFiles.end()) {
    replay.receivedFirmwareFile = file->second;
  }
  return SimReplayModel::Check(*loaded.recording, d.recordedDevice);
}

SimDeviceFileResult ParseSimDeviceFile(std::string_view text, const SimGuid& interfaceClassGuid,
                                       const std::filesystem::path& folder) {
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
    std::string key = Lower(Trim(line.substr(0, equals)));
    const std::string value = Trim(line.substr(equals + 1));
    const KeyRule* rule = FindKey(key);
    const InterfaceKeyRule* interfaceRule = nullptr;
    uint8_t index = 0;
    std::string rest;
    bool targetFile = false;
    const bool variantKey = rule == nullptr && IsSimDfuVariantKey(key);
    if (variantKey) {
      // Checked below like any key of a DFU device.
    } else if (rule == nullptr && SplitIndexedKey(key, "interface", index, rest)) {
      for (const InterfaceKeyRule& candidate : kInterfaceKeyRules) {
        if (rest == candidate.name) interfaceRule = &candidate;
      }
      key = "interface" + std::to_string(index) + "." + rest;  // Interface0x1 and Interface1 are one
    } else if (rule == nullptr && SplitIndexedKey(key, "target", index, rest) && rest == "receivedfirmwarefile") {
      targetFile = true;
      // Target0.ReceivedFirmwareFile is ReceivedFirmwareFile.
      key = index == 0 ? rest : "target" + std::to_string(index) + "." + rest;
    }
    if (rule == nullptr && interfaceRule == nullptr && !targetFile && !variantKey) {
      result.error = Error(lineNumber, "unknown key '" + key + "'");
      return result;
    }
    const auto [earlier, first] = current->keyLines.emplace(key, lineNumber);
    if (!first) {
      result.error = Error(lineNumber, "key '" + key + "' given twice in one device (first on line " +
                                           std::to_string(earlier->second) + ")");
      return result;
    }
    const KeyScope scope = rule != nullptr              ? rule->scope
                           : (targetFile && index == 0) ? KeyScope::DfuOrReplay
                           : (targetFile || variantKey) ? KeyScope::Dfu
                                                        : KeyScope::Any;
    const bool dfuKey = scope == KeyScope::Dfu || scope == KeyScope::DfuOrReplay;
    if (dfuKey && current->dfuOnlyKey.empty()) current->dfuOnlyKey = key;
    if (scope == KeyScope::Replay && current->replayOnlyKey.empty()) current->replayOnlyKey = key;
    const bool replayKey = scope == KeyScope::Replay || scope == KeyScope::DfuOrReplay;
    if (!replayKey && key != "model" && current->describingKey.empty()) current->describingKey = key;
    if (scope == KeyScope::NotDfu && current->genericOnlyKey.empty()) current->genericOnlyKey = key;
    std::string why;
    bool stored = false;
    if (rule != nullptr) {
      stored = rule->set(*current, value, why);
    } else if (variantKey) {
      stored = SetSimDfuVariantKey(current->variantKeys, key, value, why);
    } else if (interfaceRule != nullptr) {
      InterfaceSettings& settings = current->interfaceSettings[index];
      if (settings.line == 0) settings.line = lineNumber;
      stored = interfaceRule->set(settings, value);
    } else {
      stored = SetPath(value, current->firmwareFiles[index], why);
    }
    if (!stored) {
      // Megabyte-long values are not quoted back in full.
      const std::string shown = value.size() > 60 ? value.substr(0, 60) + "..." : value;
      result.error =
          Error(lineNumber, "invalid value '" + shown + "' for '" + key + "'" + (why.empty() ? "" : ": " + why));
      return result;
    }
    current->keyValues[key] = value;
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
  for (FileDevice& device : devices) {
    const bool isDfu = !device.replay && device.dfuModel.value_or(!device.dfuOnlyKey.empty());
    if (isDfu && device.keyLines.count("interfaces") == 0) {
      device.interfaces = {device.dfuInterface};
    }
    result.error = CheckDevice(device);
    if (!result.error.empty()) {
      return result;
    }
  }
  std::map<std::string, uint64_t> repeats;
  for (FileDevice& device : devices) {
    std::string section = CanonicalSection(device);
    const uint64_t repeat = repeats[section]++;
    // Sections written alike are told apart by their order among themselves.
    result.sections.push_back(section + '#' + std::to_string(repeat));
    if (device.replay) {
      SimReplayFileDevice replay;
      const std::string why = LoadReplay(device, folder, replay);
      if (!why.empty()) {
        result.error = Error(device.keyLines["recording"], "cannot replay the recording: " + why);
        result.specs.clear();
        result.dfuDevices.clear();
        result.replayDevices.clear();
        result.sections.clear();
        return result;
      }
      const SimRecordedDevice* recorded = replay.recording->FindDevice(replay.label);
      result.specs.push_back(recorded->identities[recorded->steps.front().identity].Spec());
      result.dfuDevices.emplace_back();
      result.replayDevices.emplace_back(std::move(replay));
      continue;
    }
    result.replayDevices.emplace_back();
    if (device.dfuModel.value_or(!device.dfuOnlyKey.empty())) {
      DefaultContainer(device, section, repeat);
      SimDfuFileDevice dfuDevice = BuildDfuDevice(device);
      result.specs.push_back(SimDfuDevice::BuildSpec(dfuDevice.config, dfuDevice.config.startMode));
      result.dfuDevices.emplace_back(std::move(dfuDevice));
    } else {
      result.specs.push_back(Finish(device, section, repeat));
      result.dfuDevices.emplace_back();
    }
  }
  result.ok = true;
  return result;
}

namespace {

std::mutex gReporterMutex;
std::function<void(const std::string&)> gReporter;

void Report(const std::string& message) {
  std::lock_guard<std::mutex> lock(gReporterMutex);
  if (gReporter) {
    gReporter(message);
  }
}

// A received-firmware file of a device that arrives: it starts absent, so that a file left by
// an earlier run is never taken for what this device received.
std::filesystem::path FreshReceivedFile(const std::string& name, const std::filesystem::path& folder) {
  std::filesystem::path path(std::u8string(name.begin(), name.end()));
  if (path.is_relative()) {
    path = folder / path;
  }
  std::error_code ec;
  std::filesystem::remove(path, ec);
  if (ec) {
    Report("cannot remove the old received firmware file " + path.string() + ": " + ec.message());
  }
  return path;
}

// whose: e.g. "of target 0", for the report of a failed write.
void WriteReceivedFile(const std::filesystem::path& path, const std::vector<uint8_t>& firmware,
                       const std::string& whose) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(firmware.data()), static_cast<std::streamsize>(firmware.size()));
  out.close();
  if (!out) {
    Report("cannot write the received firmware " + whose + " to " + path.string());
  }
}

// Plugs in a DFU device of the file; each manifestation rewrites its target's firmware file.
SimDfuDevicePtr AttachDfuDevice(const SimDfuFileDevice& fileDevice, const std::filesystem::path& folder) {
  SimDfuDeviceConfig config = fileDevice.config;
  std::map<uint8_t, std::filesystem::path> files;
  for (const auto& [target, name] : fileDevice.firmwareFiles) {
    files[target] = FreshReceivedFile(name, folder);
  }
  if (!files.empty()) {
    config.firmwareCommitted = [files](uint8_t target, const std::vector<uint8_t>& firmware) {
      if (const auto it = files.find(target); it != files.end()) {
        WriteReceivedFile(it->second, firmware, "of target " + std::to_string(target));
      }
    };
  }
  SimDfuDevicePtr device = SimDfuDevice::Create(VirtualUsbBus::Instance(), std::move(config));
  device->Plug();
  return device;
}

// Plugs in a replayed device of the file; the end of each recorded download rewrites its
// received-firmware file.
SimReplayModelPtr AttachReplayDevice(const SimReplayFileDevice& replay, const std::filesystem::path& folder) {
  SimReplayModelPtr model =
      SimReplayModel::Create(VirtualUsbBus::Instance(), replay.recording, replay.label, replay.latency);
  if (!replay.receivedFirmwareFile.empty()) {
    const std::filesystem::path path = FreshReceivedFile(replay.receivedFirmwareFile, folder);
    model->OnDownloadEnd(
        [path](const std::vector<uint8_t>& image) { WriteReceivedFile(path, image, "of the replayed device"); });
  }
  model->Plug();
  return model;
}

}  // namespace

void SetSimDeviceFileReporter(std::function<void(const std::string& message)> reporter) {
  std::lock_guard<std::mutex> lock(gReporterMutex);
  gReporter = std::move(reporter);
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
  // A DFU device of the file, kept with the section it came from: its bus id changes at every
  // re-enumeration, so the file keeps the device itself.
  struct FileDfuDevice {
    std::string section;
    SimDfuDevicePtr device;
    SimReplayModelPtr replay;  // instead of device, for a replayed device

    void Unplug() const {
      if (device) device->Unplug();
      if (replay) replay->Unplug();
    }
  };
  static std::mutex mutex;
  static std::vector<FileAttached> attachedByFile;
  static std::vector<FileDfuDevice> dfuByFile;
  SimDeviceFileResult result;
  const std::filesystem::path filePath(path);
  const auto attach = [&filePath](const SimDeviceFileResult& r, size_t i) {
    FileDfuDevice attached{r.sections[i], nullptr, nullptr};
    if (r.replayDevices[i]) {
      attached.replay = AttachReplayDevice(*r.replayDevices[i], filePath.parent_path());
    } else {
      attached.device = AttachDfuDevice(*r.dfuDevices[i], filePath.parent_path());
    }
    return attached;
  };
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
  result = ParseSimDeviceFile(text.str(), interfaceClassGuid, filePath.parent_path());
  if (!result.ok) {
    return result;
  }
  std::lock_guard<std::mutex> lock(mutex);
  if (attachedByFile.empty() && dfuByFile.empty()) {
    // The first load plugs the devices in the file's order, so they are listed in that order.
    for (size_t i = 0; i < result.specs.size(); ++i) {
      if (result.dfuDevices[i] || result.replayDevices[i]) {
        dfuByFile.push_back(attach(result, i));
      } else {
        attachedByFile.push_back(
            FileAttached{result.specs[i], VirtualUsbBus::Instance().Attach(result.specs[i])->Id()});
      }
    }
    return result;
  }
  // Plain devices follow the file by their description. A DFU device stays, whatever state it
  // is in (mid-download, in its bootloader, off the bus for a moment while it re-enumerates),
  // as long as its section is unchanged; a changed section is another device.
  std::vector<SimDeviceSpec> plainSpecs;
  for (size_t i = 0; i < result.specs.size(); ++i) {
    if (!result.dfuDevices[i] && !result.replayDevices[i]) {
      plainSpecs.push_back(result.specs[i]);
    }
  }
  std::vector<FileDfuDevice> keptDfu;
  std::vector<size_t> arrivingDfu;
  for (size_t i = 0; i < result.specs.size(); ++i) {
    if (!result.dfuDevices[i] && !result.replayDevices[i]) {
      continue;
    }
    const auto same = std::find_if(dfuByFile.begin(), dfuByFile.end(),
                                   [&](const FileDfuDevice& old) { return old.section == result.sections[i]; });
    if (same != dfuByFile.end()) {
      keptDfu.push_back(std::move(*same));
      dfuByFile.erase(same);
    } else {
      arrivingDfu.push_back(i);
    }
  }
  // What leaves goes first, so that a changed device never meets its old self on the bus.
  for (const FileDfuDevice& old : dfuByFile) {
    old.Unplug();
  }
  SyncFileDevices(attachedByFile, plainSpecs);
  dfuByFile = std::move(keptDfu);
  for (const size_t i : arrivingDfu) {
    dfuByFile.push_back(attach(result, i));
  }
  return result;
}

}  // namespace plendrik::sim
