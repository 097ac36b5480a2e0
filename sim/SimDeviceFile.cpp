#include "sim/SimDeviceFile.h"

#include <filesystem>
#include <fstream>
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

// Decimal or 0x-prefixed hexadecimal number within [0, max].
bool ParseNumber(const std::string& text, unsigned long max, unsigned long& value) {
  if (text.empty()) return false;
  size_t used = 0;
  try {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    value = std::stoul(hex ? text.substr(2) : text, &used, hex ? 16 : 10);
    used += hex ? 2 : 0;
  } catch (...) {
    return false;
  }
  return used == text.size() && value <= max;
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

// The device as the file describes it before it becomes a specification.
struct FileDevice {
  SimDeviceSpec spec;
  std::string manufacturer, product, serial;
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
  auto addString = [&](const std::string& text, uint8_t& index) {
    if (!text.empty()) {
      index = nextString++;
      spec.strings[index] = SimWiden(text);
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
      alt.functionalDescriptors.push_back({9, 0x21, d.dfuAttributes, static_cast<uint8_t>(d.dfuDetachTimeout & 0xFF),
                                           static_cast<uint8_t>(d.dfuDetachTimeout >> 8),
                                           static_cast<uint8_t>(d.dfuTransferSize & 0xFF),
                                           static_cast<uint8_t>(d.dfuTransferSize >> 8),
                                           static_cast<uint8_t>(d.dfuVersion & 0xFF),
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

}  // namespace

SimDeviceFileResult ParseSimDeviceFile(std::string_view text, const SimGuid& interfaceClassGuid) {
  SimDeviceFileResult result;
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
    unsigned long n = 0;
    bool flag = false;
    bool ok = true;
    SimDeviceSpec& spec = current->spec;
    if (key == "vendorid") {
      ok = ParseNumber(value, 0xFFFF, n) && (spec.vendorId = static_cast<uint16_t>(n), true);
    } else if (key == "productid") {
      ok = ParseNumber(value, 0xFFFF, n) && (spec.productId = static_cast<uint16_t>(n), true);
    } else if (key == "bcddevice") {
      ok = ParseNumber(value, 0xFFFF, n) && (spec.bcdDevice = static_cast<uint16_t>(n), true);
    } else if (key == "manufacturer") {
      current->manufacturer = value;
    } else if (key == "product") {
      current->product = value;
    } else if (key == "serialnumber") {
      current->serial = value;
    } else if (key == "langids") {
      spec.langIds.clear();
      for (const std::string& item : SplitList(value)) {
        ok = ok && ParseNumber(item, 0xFFFF, n);
        spec.langIds.push_back(static_cast<uint16_t>(n));
      }
    } else if (key == "interfaces") {
      current->interfaces.clear();
      for (const std::string& item : SplitList(value)) {
        ok = ok && ParseNumber(item, 0xFF, n);
        current->interfaces.push_back(static_cast<uint8_t>(n));
      }
      ok = ok && !current->interfaces.empty();
    } else if (key == "interfaceclass") {
      ok = ParseNumber(value, 0xFF, n) && (current->interfaceClass = static_cast<uint8_t>(n), true);
    } else if (key == "interfacesubclass") {
      ok = ParseNumber(value, 0xFF, n) && (current->interfaceSubClass = static_cast<uint8_t>(n), true);
    } else if (key == "interfaceprotocol") {
      ok = ParseNumber(value, 0xFF, n) && (current->interfaceProtocol = static_cast<uint8_t>(n), true);
    } else if (key == "dfufunctional") {
      ok = ParseBool(value, current->functional);
    } else if (key == "dfuattributes") {
      ok = ParseNumber(value, 0xFF, n) && (current->dfuAttributes = static_cast<uint8_t>(n), true);
    } else if (key == "dfudetachtimeout") {
      ok = ParseNumber(value, 0xFFFF, n) && (current->dfuDetachTimeout = static_cast<uint16_t>(n), true);
    } else if (key == "dfutransfersize") {
      ok = ParseNumber(value, 0xFFFF, n) && (current->dfuTransferSize = static_cast<uint16_t>(n), true);
    } else if (key == "dfuversion") {
      ok = ParseNumber(value, 0xFFFF, n) && (current->dfuVersion = static_cast<uint16_t>(n), true);
    } else if (key == "composite") {
      ok = ParseBool(value, flag) && (spec.identity.composite = flag, true);
    } else if (key == "revisioninhardwareid") {
      ok = ParseBool(value, flag) && (spec.identity.revisionInHardwareId = flag, true);
    } else if (key == "hardwareids") {
      spec.identity.hardwareIds.clear();
      for (const std::string& item : SplitList(value)) {
        spec.identity.hardwareIds.push_back(SimWiden(item));
      }
    } else if (key == "instancesuffix") {
      spec.identity.instanceSuffix = SimWiden(value);
    } else if (key == "containerid") {
      if (Lower(value) == "none") {
        current->containerNone = true;
        spec.identity.containerId.reset();
      } else {
        SimGuid guid;
        ok = SimGuid::Parse(std::string_view(value), guid);
        spec.identity.containerId = guid;
        current->containerSet = true;
      }
    } else if (key == "interfaceguid") {
      ok = SimGuid::Parse(std::string_view(value), spec.identity.interfaceClassGuid);
    } else {
      result.error = Error(lineNumber, "unknown key '" + key + "'");
      return result;
    }
    if (!ok) {
      result.error = Error(lineNumber, "invalid value '" + value + "' for '" + key + "'");
      return result;
    }
  }
  uint64_t ordinal = 1;
  for (FileDevice& device : devices) {
    result.specs.push_back(Finish(device, ordinal++));
  }
  result.ok = true;
  return result;
}

SimDeviceFileResult LoadSimDeviceFile(const QXWString& path, const SimGuid& interfaceClassGuid) {
  static std::mutex mutex;
  static std::vector<uint64_t> attachedByFile;
  SimDeviceFileResult result;
  std::ifstream file(std::filesystem::path(path), std::ios::binary);
  if (!file) {
    result.error = "cannot open the file";
    return result;
  }
  std::ostringstream text;
  text << file.rdbuf();
  result = ParseSimDeviceFile(text.str(), interfaceClassGuid);
  if (!result.ok) {
    return result;
  }
  std::lock_guard<std::mutex> lock(mutex);
  VirtualUsbBus& bus = VirtualUsbBus::Instance();
  for (uint64_t id : attachedByFile) {
    bus.Detach(id);
  }
  attachedByFile.clear();
  for (const SimDeviceSpec& spec : result.specs) {
    attachedByFile.push_back(bus.Attach(spec)->Id());
  }
  return result;
}

}  // namespace plendrik::sim
