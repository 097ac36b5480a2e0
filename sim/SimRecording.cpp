// Reading a recording: the header check, then every record of interest assigned to its device
// (arrivals grouped into identities, descriptor answers to the identity whose node the handle
// was opened on, ordered steps in file order). Keys this code does not know are ignored.
#include "sim/SimRecording.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "sim/SimJson.h"

namespace plendrik::sim {

uint32_t SimCrc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
  }
  return crc ^ 0xFFFFFFFFu;
}

std::string SimHex(const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    text.push_back(kDigits[data[i] >> 4]);
    text.push_back(kDigits[data[i] & 0x0F]);
  }
  return text;
}

std::string SimSetupHex(const SimSetupPacket& s) {
  const uint8_t bytes[8] = {s.bmRequestType,
                            s.bRequest,
                            static_cast<uint8_t>(s.wValue & 0xFF),
                            static_cast<uint8_t>(s.wValue >> 8),
                            static_cast<uint8_t>(s.wIndex & 0xFF),
                            static_cast<uint8_t>(s.wIndex >> 8),
                            static_cast<uint8_t>(s.wLength & 0xFF),
                            static_cast<uint8_t>(s.wLength >> 8)};
  return SimHex(bytes, sizeof(bytes));
}

const SimRecordedDevice* SimRecording::FindDevice(std::string_view label) const {
  if (label.empty()) {
    return devices.empty() ? nullptr : &devices.front();
  }
  for (const SimRecordedDevice& device : devices) {
    if (device.label == label ||
        std::find(device.otherLabels.begin(), device.otherLabels.end(), label) != device.otherLabels.end()) {
      return &device;
    }
  }
  return nullptr;
}

namespace {

// A transfer's result when the device was not on the bus (ERROR_DEVICE_NOT_CONNECTED).
constexpr int64_t kDeviceNotConnected = 1167;

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool DecodeHex(const std::string& text, std::vector<uint8_t>& bytes) {
  if (text.size() % 2 != 0) return false;
  bytes.clear();
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    int value = 0;
    for (size_t k = 0; k < 2; ++k) {
      const char c = text[i + k];
      int digit = -1;
      if (c >= '0' && c <= '9') digit = c - '0';
      if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
      if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
      if (digit < 0) return false;
      value = value * 16 + digit;
    }
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return true;
}

// A four-digit hex field after `tag` in an identifier (VID_1209); none when absent.
std::optional<uint16_t> IdField(const std::string& text, const std::string& tag) {
  const std::string lower = LowerAscii(text);
  const size_t at = lower.find(LowerAscii(tag));
  if (at == std::string::npos || at + tag.size() + 4 > text.size()) return std::nullopt;
  std::vector<uint8_t> bytes;
  if (!DecodeHex(text.substr(at + tag.size(), 4), bytes)) return std::nullopt;
  return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

std::optional<uint8_t> MiNumber(const SimRecordedNode& node) {
  for (const std::string& id : node.hardwareIds) {
    const std::string lower = LowerAscii(id);
    const size_t at = lower.find("&mi_");
    std::vector<uint8_t> bytes;
    // Exactly two hex digits: an identifier cut short after "&MI_" names no function.
    if (at != std::string::npos && DecodeHex(id.substr(at + 4, 2), bytes) && bytes.size() == 1) return bytes[0];
  }
  return std::nullopt;
}

// The reading of one file: the error of the first record that is wrong stops it.
class RecordingReader {
 public:
  explicit RecordingReader(const std::string& name) : mRecording(std::make_shared<SimRecording>()) {
    mRecording->file = name;
  }

  SimRecordingResult Run(std::string_view text) {
    SimRecordingResult result;
    size_t number = 0;
    size_t begin = 0;
    while (begin < text.size()) {
      size_t end = text.find('\n', begin);
      if (end == std::string_view::npos) end = text.size();
      ++number;
      if (!Record(text.substr(begin, end - begin), number)) {
        result.error = mRecording->file + ": " + mError;
        return result;
      }
      begin = end + 1;
    }
    if (number == 0) {
      result.error = mRecording->file + ": the file is empty, not a recording";
      return result;
    }
    JoinRunModes();
    result.recording = mRecording;
    return result;
  }

 private:
  // The step index of the device's last arrival before record `record`; none when none.
  static std::optional<size_t> ArrivalBefore(const SimRecordedDevice& device, size_t record) {
    std::optional<size_t> found;
    for (size_t i = 0; i < device.steps.size() && device.steps[i].record < record; ++i) {
      if (device.steps[i].kind == SimRecordedStep::Kind::Arrival) found = i;
    }
    return found;
  }

  // The last part of a whole device's instance identifier (the serial number, or the port's
  // location); empty for a function of a composite device.
  static std::string InstanceSuffix(const std::string& instance) {
    const size_t slash = instance.rfind('\\');
    const bool function = LowerAscii(instance).find("&mi_") != std::string::npos;
    return slash == std::string::npos || function ? std::string() : LowerAscii(instance.substr(slash + 1));
  }

  // Whether `later`, first listed at its first arrival, is `earlier` in another run mode: the
  // same vendor and instance suffix under another product id, while `earlier` leaves the bus
  // (its identity at that time is removed, before or in the same listing).
  static bool IsOtherRunModeOf(const SimRecordedDevice& later, const SimRecordedDevice& earlier) {
    if (later.steps.empty() || later.steps.front().kind != SimRecordedStep::Kind::Arrival) return false;
    const size_t record = later.steps.front().record;
    const std::optional<size_t> arrival = ArrivalBefore(earlier, record);
    if (!arrival) return false;
    bool leaves = false;
    for (size_t i = *arrival + 1; i < earlier.steps.size(); ++i) {
      if (earlier.steps[i].kind == SimRecordedStep::Kind::Arrival) break;
      if (earlier.steps[i].kind == SimRecordedStep::Kind::Removal) {
        leaves = true;
        break;
      }
    }
    const std::string& known = earlier.identities[earlier.steps[*arrival].identity].nodes.front().instance;
    const std::string& listed = later.identities[later.steps.front().identity].nodes.front().instance;
    return leaves && !InstanceSuffix(listed).empty() && InstanceSuffix(known) == InstanceSuffix(listed) &&
           IdField(known, "VID_") == IdField(listed, "VID_") && IdField(known, "PID_") != IdField(listed, "PID_");
  }

  // The recorder keys devices by container, and the system may give a device that enumerates
  // again as another product another container: such labels are joined into the one physical
  // device whose run-mode switch the replay plays, its steps in recorded order.
  void JoinRunModes() {
    std::vector<SimRecordedDevice>& devices = mRecording->devices;
    for (size_t b = 1; b < devices.size(); ++b) {
      for (size_t a = 0; a < b; ++a) {
        if (!IsOtherRunModeOf(devices[b], devices[a])) continue;
        SimRecordedDevice& earlier = devices[a];
        SimRecordedDevice later = std::move(devices[b]);
        const size_t shift = earlier.identities.size();
        for (SimRecordedIdentity& identity : later.identities) earlier.identities.push_back(std::move(identity));
        for (SimRecordedStep& step : later.steps) {
          if (step.kind == SimRecordedStep::Kind::Arrival) step.identity += shift;
        }
        std::vector<SimRecordedStep> steps;
        std::merge(earlier.steps.begin(), earlier.steps.end(), later.steps.begin(), later.steps.end(),
                   std::back_inserter(steps),
                   [](const SimRecordedStep& x, const SimRecordedStep& y) { return x.record < y.record; });
        earlier.steps = std::move(steps);
        earlier.otherLabels.push_back(later.label);
        earlier.otherLabels.insert(earlier.otherLabels.end(), later.otherLabels.begin(), later.otherLabels.end());
        devices.erase(devices.begin() + static_cast<std::ptrdiff_t>(b));
        --b;
        break;
      }
    }
  }

  bool Fail(size_t number, const std::string& what) {
    mError = "record " + std::to_string(number) + ": " + what;
    return false;
  }

  bool Header(const SimJsonValue& record, size_t number) {
    const std::optional<std::string> format = record.GetString("format");
    if (record.GetString("type") != "header" || format != "flashbridge-recording") {
      return Fail(number,
                  "not a flashbridge recording (its first record has no \"format\": "
                  "\"flashbridge-recording\")");
    }
    const std::optional<int64_t> version = record.GetInteger("version");
    const std::string supported = "supported: " + std::to_string(kSimRecordingOldestVersion) +
                                  (kSimRecordingNewestVersion == kSimRecordingOldestVersion
                                       ? std::string()
                                       : " to " + std::to_string(kSimRecordingNewestVersion));
    if (!version) {
      return Fail(number, "the header has no whole-number \"version\" (" + supported + ")");
    }
    if (*version > kSimRecordingNewestVersion) {
      return Fail(number, "recording format version " + std::to_string(*version) +
                              " is newer than this library reads (" + supported + ")");
    }
    if (*version < kSimRecordingOldestVersion) {
      return Fail(number, "recording format version " + std::to_string(*version) +
                              " is older than the oldest this library reads (" + supported + ")");
    }
    mRecording->version = *version;
    mRecording->backend = record.GetString("backend").value_or("");
    return true;
  }

  bool Record(std::string_view line, size_t number) {
    const SimJsonResult json = ParseSimJson(line);
    if (!json.value) {
      return Fail(number, "column " + std::to_string(json.column) + ": " + json.error);
    }
    const SimJsonValue& record = *json.value;
    if (record.GetKind() != SimJsonValue::Kind::Object) {
      return Fail(number, number == 1 ? "not a flashbridge recording (its first record is not a JSON object)"
                                      : "not a JSON object");
    }
    if (number == 1) {
      return Header(record, number);
    }
    const std::optional<std::string> type = record.GetString("type");
    if (!type) {
      return Fail(number, "no \"type\"");
    }
    if (*type == "arrival") return Arrival(record, number);
    if (*type == "removal") return Removal(record, number);
    if (*type == "open") return Open(record);
    if (*type == "claim") return Claim(record, number);
    if (*type == "descriptor") return Descriptor(record, number);
    if (*type == "alt_setting") return AltSetting(record, number);
    if (*type == "reset") return Reset(record, number);
    if (*type == "timeout" || *type == "cancel") return NoAnswer(record);
    if (*type == "transfer") return Transfer(record, number);
    return true;  // header-only keys, images, notes and types of later versions
  }

  // The device a record belongs to; null for a record without one.
  SimRecordedDevice* Device(const SimJsonValue& record) {
    const std::optional<std::string> label = record.GetString("device");
    if (!label) return nullptr;
    const auto it = mDeviceIndex.find(*label);
    if (it != mDeviceIndex.end()) return &mRecording->devices[it->second];
    mDeviceIndex[*label] = mRecording->devices.size();
    mRecording->devices.push_back(SimRecordedDevice{*label, {}, {}, {}});
    return &mRecording->devices.back();
  }

  bool Arrival(const SimJsonValue& record, size_t number) {
    SimRecordedDevice* device = Device(record);
    const SimJsonValue* node = record.Find("node");
    if (!device || !node || node->GetKind() != SimJsonValue::Kind::Object) {
      return Fail(number, "an arrival needs \"device\" and a \"node\" object");
    }
    SimRecordedNode n;
    const std::optional<std::string> path = node->GetString("path");
    const std::optional<std::string> instance = node->GetString("instance");
    const std::optional<std::string> guid = node->GetString("class");
    if (!path || !instance || !guid || !SimGuid::Parse(std::string_view(*guid), n.interfaceClass)) {
      return Fail(number, "an arrival's node needs \"path\", \"instance\" and a GUID \"class\"");
    }
    n.path = *path;
    n.instance = *instance;
    if (const SimJsonValue* ids = node->Find("hardware_ids"); ids && ids->GetKind() == SimJsonValue::Kind::Array) {
      for (const SimJsonValue& id : ids->Items()) {
        if (id.GetKind() != SimJsonValue::Kind::String) {
          return Fail(number, "\"hardware_ids\" must list strings");
        }
        n.hardwareIds.push_back(id.AsString());
      }
    }
    if (const std::optional<std::string> container = node->GetString("container")) {
      SimGuid g;
      if (!SimGuid::Parse(std::string_view(*container), g)) {
        return Fail(number, "\"container\" is not a GUID");
      }
      n.container = g;
    }
    const int64_t t = record.GetInteger("t").value_or(0);
    // Nodes listed together (the functions of a composite device, one device under several
    // classes) are one arrival of the device.
    const bool grouped =
        !device->steps.empty() && device->steps.back().kind == SimRecordedStep::Kind::Arrival &&
        mOpenArrival.count(device->label) != 0 &&
        IdField(device->identities.back().nodes.front().instance, "PID_") == IdField(n.instance, "PID_");
    if (grouped) {
      device->identities.back().nodes.push_back(std::move(n));
      return true;
    }
    SimRecordedIdentity identity;
    identity.record = number;
    identity.t = t;
    identity.nodes.push_back(std::move(n));
    device->identities.push_back(std::move(identity));
    SimRecordedStep step;
    step.kind = SimRecordedStep::Kind::Arrival;
    step.record = number;
    step.tStart = step.tEnd = t;
    step.identity = device->identities.size() - 1;
    device->steps.push_back(step);
    mOpenArrival.insert(device->label);
    return true;
  }

  bool Removal(const SimJsonValue& record, size_t number) {
    SimRecordedDevice* device = Device(record);
    if (!device) {
      return Fail(number, "a removal needs \"device\"");
    }
    mOpenArrival.erase(device->label);
    // The nodes of one device vanish together: one removal.
    if (!device->steps.empty() && device->steps.back().kind == SimRecordedStep::Kind::Removal) {
      return true;
    }
    SimRecordedStep step;
    step.kind = SimRecordedStep::Kind::Removal;
    step.record = number;
    step.tStart = step.tEnd = record.GetInteger("t").value_or(0);
    step.path = record.GetString("path").value_or("");
    device->steps.push_back(step);
    return true;
  }

  bool Open(const SimJsonValue& record) {
    const std::optional<int64_t> file = record.GetInteger("file");
    const std::optional<std::string> path = record.GetString("path");
    if (file && path && record.GetInteger("result").value_or(0) == 0) {
      mPathOf[*file] = *path;
    }
    return true;
  }

  bool Claim(const SimJsonValue& record, size_t number) {
    const std::optional<int64_t> handle = record.GetInteger("handle");
    std::optional<int64_t> from = record.GetInteger("file");
    if (!from) from = record.GetInteger("parent");
    if (handle && from && record.GetInteger("result").value_or(0) == 0 && mPathOf.count(*from) != 0) {
      mPathOf[*handle] = mPathOf[*from];
      mClaimedAt[*handle] = number;
    }
    return true;
  }

  // The identity a handle's record belongs to: the latest arrival of the node the handle was
  // opened on, else the device's latest arrival.
  SimRecordedIdentity* IdentityOf(SimRecordedDevice& device, const SimJsonValue& record) {
    if (device.identities.empty()) return nullptr;
    const std::optional<int64_t> handle = record.GetInteger("handle");
    if (handle && mPathOf.count(*handle) != 0) {
      const std::string path = LowerAscii(mPathOf[*handle]);
      for (auto it = device.identities.rbegin(); it != device.identities.rend(); ++it) {
        for (const SimRecordedNode& node : it->nodes) {
          if (LowerAscii(node.path) == path) return &*it;
        }
      }
    }
    return &device.identities.back();
  }

  static void KeepLongest(std::vector<uint8_t>& stored, const std::vector<uint8_t>& data) {
    if (data.size() > stored.size()) stored = data;
  }

  static void StoreDescriptor(SimRecordedIdentity& identity, uint8_t dtype, uint8_t index, uint16_t lang,
                              const std::vector<uint8_t>& data) {
    if (data.empty()) return;
    if (dtype == 1 && index == 0) {
      if (!identity.deviceDescriptor || data.size() > identity.deviceDescriptor->size()) {
        identity.deviceDescriptor = data;
      }
    } else if (dtype == 2) {
      KeepLongest(identity.configurationDescriptors[index], data);
    } else if (dtype == 3) {
      KeepLongest(identity.stringDescriptors[{index, lang}], data);
    }
  }

  bool Descriptor(const SimJsonValue& record, size_t number) {
    SimRecordedDevice* device = Device(record);
    if (!device) return true;
    SimRecordedIdentity* identity = IdentityOf(*device, record);
    const std::optional<int64_t> dtype = record.GetInteger("dtype");
    const std::optional<int64_t> index = record.GetInteger("index");
    const std::optional<int64_t> lang = record.GetInteger("lang");
    const std::optional<int64_t> length = record.GetInteger("length");
    std::vector<uint8_t> data;
    if (!dtype || !index || !lang || !length || *dtype < 0 || *dtype > 255 || *index < 0 || *index > 255 || *lang < 0 ||
        *lang > 0xFFFF || *length < 0 || *length > 0xFFFF || !DecodeHex(record.GetString("data").value_or(""), data)) {
      return Fail(number, "a descriptor record needs \"dtype\", \"index\", \"lang\", \"length\" and hex \"data\"");
    }
    if (!identity) return true;
    SimRecordedStandard answer;
    answer.record = number;
    answer.setup = SimSetupPacket{0x80, 0x06, static_cast<uint16_t>((*dtype << 8) | *index),
                                  static_cast<uint16_t>(*lang), static_cast<uint16_t>(*length)};
    answer.result = static_cast<uint32_t>(record.GetInteger("result").value_or(0));
    answer.noAnswer = answer.result == 121 || answer.result == 995;  // timed out or cancelled
    answer.in = data;
    identity->standard.push_back(answer);
    if (answer.result == 0) {
      StoreDescriptor(*identity, static_cast<uint8_t>(*dtype), static_cast<uint8_t>(*index),
                      static_cast<uint16_t>(*lang), data);
    }
    return true;
  }

  bool AltSetting(const SimJsonValue& record, size_t number) {
    SimRecordedDevice* device = Device(record);
    if (!device) return true;
    const std::optional<int64_t> alt = record.GetInteger("alt");
    if (!alt || *alt < 0 || *alt > 255) {
      return Fail(number, "an alt_setting record needs \"alt\"");
    }
    if (SimRecordedIdentity* identity = IdentityOf(*device, record)) {
      SimRecordedStandard answer;
      answer.record = number;
      answer.result = static_cast<uint32_t>(record.GetInteger("result").value_or(0));
      answer.noAnswer = answer.result == 121 || answer.result == 995;
      identity->altSettings.emplace_back(static_cast<uint16_t>(*alt), answer);
    }
    return true;
  }

  bool Reset(const SimJsonValue& record, size_t number) {
    SimRecordedDevice* device = Device(record);
    if (!device || record.GetInteger("result").value_or(0) != 0) {
      return true;  // a reset that failed never reached the device
    }
    mOpenArrival.erase(device->label);
    SimRecordedStep step;
    step.kind = SimRecordedStep::Kind::Reset;
    step.record = number;
    step.tStart = step.tEnd = record.GetInteger("t").value_or(0);
    device->steps.push_back(step);
    return true;
  }

  bool NoAnswer(const SimJsonValue& record) {
    const std::optional<std::string> label = record.GetString("device");
    const std::optional<int64_t> handle = record.GetInteger("handle");
    if (label && handle) {
      mUnanswered.insert({*label, *handle});
    }
    return true;
  }

  // A transfer refused at submission because the device was not connected shows that the device
  // had left the bus, even where no listing recorded its removal (a device that resets itself
  // after manifestation, seen gone by the host's next status request): the removal is a step of
  // its own there. Only for a handle on the device's latest identity: a stale handle of an
  // identity it has since left says nothing about the device now.
  // The removal step keeps the refused request: a replay lets that request (and only that one)
  // come just before the removal, as the host's timing may differ from the recording's.
  bool GoneAtSubmission(SimRecordedDevice& device, const SimJsonValue& record, size_t number) {
    const std::optional<int64_t> handle = record.GetInteger("handle");
    if (record.GetInteger("result") != kDeviceNotConnected || !handle || mPathOf.count(*handle) == 0 ||
        device.steps.empty() || device.steps.back().kind == SimRecordedStep::Kind::Removal ||
        device.identities.empty()) {
      return true;  // a device never seen arriving has no appearance the refusal could end
    }
    // A handle claimed before the device's latest arrival or reset belongs to an appearance of
    // the device that has ended: its refusal says nothing about the device now (after a reset
    // the device is plugged in again unless the recording shows it leaving).
    const auto since = std::find_if(device.steps.rbegin(), device.steps.rend(), [](const SimRecordedStep& step) {
      return step.kind == SimRecordedStep::Kind::Arrival || step.kind == SimRecordedStep::Kind::Reset;
    });
    if (since != device.steps.rend() && since->record > mClaimedAt[*handle]) {
      return true;
    }
    const std::string path = LowerAscii(mPathOf[*handle]);
    const std::vector<SimRecordedNode>& nodes = device.identities.back().nodes;
    if (std::none_of(nodes.begin(), nodes.end(),
                     [&](const SimRecordedNode& node) { return LowerAscii(node.path) == path; })) {
      return true;
    }
    SimRecordedStep step;
    if (!ReadRequest(record, number, step)) {
      return false;
    }
    step.refused = true;
    mOpenArrival.erase(device.label);
    step.kind = SimRecordedStep::Kind::Removal;
    step.record = number;
    step.tStart = step.tEnd = record.GetInteger("t_submit").value_or(0);
    step.path = mPathOf[*handle];
    device.steps.push_back(std::move(step));
    return true;
  }

  // A transfer record's setup packet and OUT data (inline, or its length and digest).
  bool ReadRequest(const SimJsonValue& record, size_t number, SimRecordedStep& step) {
    std::vector<uint8_t> setup;
    if (!DecodeHex(record.GetString("setup").value_or(""), setup) || setup.size() != 8) {
      return Fail(number, "a transfer needs \"setup\" with 8 bytes in hex");
    }
    step.setup = SimSetupPacket{setup[0], setup[1], static_cast<uint16_t>(setup[2] | (setup[3] << 8)),
                                static_cast<uint16_t>(setup[4] | (setup[5] << 8)),
                                static_cast<uint16_t>(setup[6] | (setup[7] << 8))};
    if (const std::optional<std::string> out = record.GetString("out")) {
      std::vector<uint8_t> bytes;
      if (!DecodeHex(*out, bytes)) return Fail(number, "\"out\" is not hex");
      if (bytes.size() > 0xFFFF) return Fail(number, "\"out\" holds more than a control transfer carries");
      step.out = std::move(bytes);
    }
    if (const std::optional<int64_t> length = record.GetInteger("out_len")) {
      std::vector<uint8_t> crc;
      if (!DecodeHex(record.GetString("out_crc32").value_or(""), crc) || crc.size() != 4 || *length < 0 ||
          *length > 0xFFFF) {
        return Fail(number, "\"out_len\" needs \"out_crc32\" with 8 hex digits");
      }
      step.outLength = static_cast<uint32_t>(*length);
      step.outCrc32 = (uint32_t{crc[0]} << 24) | (uint32_t{crc[1]} << 16) | (uint32_t{crc[2]} << 8) | crc[3];
    }
    return true;
  }

  bool Transfer(const SimJsonValue& record, size_t number) {
    SimRecordedDevice* device = Device(record);
    const std::optional<int64_t> handle = record.GetInteger("handle");
    const bool waitedOut = device && handle && mUnanswered.erase({device->label, *handle}) != 0;
    if (device && record.GetBool("submit_error").value_or(false)) {
      return GoneAtSubmission(*device, record, number);  // never reached the device
    }
    if (!device) {
      return true;  // never reached a known device
    }
    SimRecordedStep step;
    step.record = number;
    if (!ReadRequest(record, number, step)) {
      return false;
    }
    const std::optional<int64_t> result = record.GetInteger("result");
    if (!result || *result < 0 || *result > 0xFFFFFFFFll) {
      return Fail(number, "a transfer needs a \"result\"");
    }
    step.result = static_cast<uint32_t>(*result);
    step.noAnswer = waitedOut || step.result == 121 || step.result == 995;
    if (const std::optional<int64_t> transferred = record.GetInteger("transferred");
        transferred && *transferred >= 0 && *transferred <= 0xFFFF) {
      step.transferred = static_cast<uint32_t>(*transferred);
    }
    step.tStart = record.GetInteger("t_submit").value_or(0);
    step.tEnd = record.GetInteger("t_complete").value_or(step.tStart);
    if (const std::optional<int64_t> offset = record.GetInteger("offset"); offset && *offset >= 0) {
      if (static_cast<uint64_t>(*offset) > kSimRecordingMaxImageOffset) {
        return Fail(number, "\"offset\" " + std::to_string(*offset) +
                                " lies beyond the largest image a replay takes (" +
                                std::to_string(kSimRecordingMaxImageOffset) + " bytes)");
      }
      step.offset = static_cast<uint64_t>(*offset);
    }
    if (!DecodeHex(record.GetString("in").value_or(""), step.in)) {
      return Fail(number, "\"in\" is not hex");
    }
    const bool getDescriptor = step.setup.bmRequestType == 0x80 && step.setup.bRequest == 0x06;
    const bool setInterface = step.setup.bmRequestType == 0x01 && step.setup.bRequest == 0x0B;
    if (getDescriptor || setInterface) {
      // Standard requests the device answers from its descriptors: matched by setup, not order.
      if (SimRecordedIdentity* identity = IdentityOf(*device, record)) {
        identity->standard.push_back(SimRecordedStandard{number, step.setup, step.result, step.noAnswer, step.in});
        if (getDescriptor && step.result == 0) {
          StoreDescriptor(*identity, static_cast<uint8_t>(step.setup.wValue >> 8),
                          static_cast<uint8_t>(step.setup.wValue & 0xFF), step.setup.wIndex, step.in);
        }
      }
      return true;
    }
    mOpenArrival.erase(device->label);
    device->steps.push_back(std::move(step));
    return true;
  }

  std::shared_ptr<SimRecording> mRecording;
  std::string mError;
  std::map<std::string, size_t> mDeviceIndex;
  std::map<int64_t, std::string> mPathOf;                 // file or WinUSB handle -> device path it was opened on
  std::map<int64_t, size_t> mClaimedAt;                   // WinUSB handle -> record number of its claim
  std::set<std::pair<std::string, int64_t>> mUnanswered;  // (device, handle) with a pending transfer given up
  std::set<std::string> mOpenArrival;                     // devices whose last step is an arrival still taking nodes
};

}  // namespace

SimDeviceSpec SimRecordedIdentity::Spec() const {
  SimDeviceSpec spec;
  const SimRecordedNode& first = nodes.front();
  if (deviceDescriptor && deviceDescriptor->size() >= 14) {
    const std::vector<uint8_t>& d = *deviceDescriptor;
    spec.vendorId = static_cast<uint16_t>(d[8] | (d[9] << 8));
    spec.productId = static_cast<uint16_t>(d[10] | (d[11] << 8));
    spec.bcdDevice = static_cast<uint16_t>(d[12] | (d[13] << 8));
  }
  // The identity as listed wins over the descriptor: it is what the host matched on.
  spec.vendorId = IdField(first.instance, "VID_").value_or(spec.vendorId);
  spec.productId = IdField(first.instance, "PID_").value_or(spec.productId);
  for (const std::string& id : first.hardwareIds) {
    if (const std::optional<uint16_t> rev = IdField(id, "REV_")) {
      spec.bcdDevice = *rev;
      break;
    }
  }
  spec.rawDeviceDescriptor = deviceDescriptor;
  for (uint8_t index = 0; configurationDescriptors.count(index) != 0; ++index) {
    spec.rawConfigurationDescriptors.push_back(configurationDescriptors.at(index));
    if (index == 255) break;
  }
  spec.rawStringDescriptors = stringDescriptors;
  spec.langIds.clear();  // only the recorded string descriptors answer
  spec.identity.interfaceClassGuid = first.interfaceClass;
  spec.identity.containerId = first.container;
  std::vector<uint8_t> functions;
  bool revision = false;
  for (const SimRecordedNode& node : nodes) {
    if (const std::optional<uint8_t> mi = MiNumber(node)) {
      if (std::find(functions.begin(), functions.end(), *mi) == functions.end()) functions.push_back(*mi);
      // Listed under the recorded instance identifier, whichever stack made it.
      const size_t slash = node.instance.rfind('\\');
      if (slash != std::string::npos && slash + 1 < node.instance.size()) {
        spec.identity.functionInstanceSuffixes[*mi] = SimWiden(node.instance.substr(slash + 1));
      }
    }
    for (const std::string& id : node.hardwareIds) {
      revision = revision || IdField(id, "REV_").has_value();
    }
  }
  if (!functions.empty()) {
    spec.identity.composite = true;
    spec.identity.compositeInterfaces = functions;
    spec.identity.revisionInHardwareId = revision;
  } else {
    for (const std::string& id : first.hardwareIds) {
      spec.identity.hardwareIds.push_back(SimWiden(id));
    }
    const size_t slash = first.instance.rfind('\\');
    spec.identity.instanceSuffix =
        SimWiden(slash == std::string::npos ? first.instance : first.instance.substr(slash + 1));
  }
  return spec;
}

std::optional<std::vector<uint8_t>> SimRecordedDevice::InlineImage() const {
  std::vector<uint8_t> image;
  uint64_t next = 0;  // DNLOAD bytes since the download began
  bool any = false;
  for (const SimRecordedStep& step : steps) {
    const SimSetupPacket& s = step.setup;
    if (step.kind != SimRecordedStep::Kind::Transfer || s.bmRequestType != 0x21 || step.result != 0) {
      continue;
    }
    if (s.bRequest == 0x06 || (s.bRequest == 0x01 && s.wLength == 0)) {
      next = 0;  // DFU_ABORT or the closing block
      continue;
    }
    if (s.bRequest != 0x01) {
      continue;
    }
    if (!step.out) {
      return std::nullopt;
    }
    const uint64_t offset = step.offset.value_or(next);
    if (offset > kSimRecordingMaxImageOffset) {
      return std::nullopt;
    }
    if (image.size() < offset + step.out->size()) {
      image.resize(static_cast<size_t>(offset + step.out->size()));
    }
    std::copy(step.out->begin(), step.out->end(), image.begin() + static_cast<std::ptrdiff_t>(offset));
    next = offset + step.out->size();
    any = true;
  }
  return any ? std::optional<std::vector<uint8_t>>(std::move(image)) : std::nullopt;
}

SimRecordingResult ParseSimRecording(std::string_view text, const std::string& name) {
  return RecordingReader(name).Run(text);
}

SimRecordingResult LoadSimRecording(const std::filesystem::path& path) {
  const std::u8string wide = path.u8string();
  const std::string name(wide.begin(), wide.end());
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return SimRecordingResult{nullptr, name + ": cannot open the recording"};
  }
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) {
    return SimRecordingResult{nullptr, name + ": cannot read the recording"};
  }
  return ParseSimRecording(text.str(), name);
}

}  // namespace plendrik::sim
