#include "sim/SimDfuVariantKeys.h"

#include <chrono>

namespace plendrik::sim {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool ParseFlag(const std::string& text, std::optional<bool>& field, std::string& why) {
  const std::string t = Lower(text);
  if (t == "1" || t == "yes" || t == "true") {
    field = true;
  } else if (t == "0" || t == "no" || t == "false") {
    field = false;
  } else {
    why = "'yes' or 'no'";
    return false;
  }
  return true;
}

// Plain decimal digits, at most max.
bool ParseCount(const std::string& text, uint32_t max, std::optional<uint32_t>& field, std::string& why) {
  uint32_t value = 0;
  bool ok = !text.empty() && text.size() <= 10;
  for (char c : text) {
    ok = ok && c >= '0' && c <= '9' && value <= (max - static_cast<uint32_t>(c - '0')) / 10;
    if (!ok) break;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (!ok) {
    why = "a number from 0 to " + std::to_string(max);
    return false;
  }
  field = value;
  return true;
}

bool ParseEnd(const std::string& text, std::optional<SimManifestationEnd>& field, std::string& why) {
  const std::string t = Lower(text);
  if (t == "reset-self") {
    field = SimManifestationEnd::ResetSelf;
  } else if (t == "wait-for-reset") {
    field = SimManifestationEnd::WaitForReset;
  } else if (t == "leave-during-status") {
    field = SimManifestationEnd::LeaveDuringStatus;
  } else {
    why = "'reset-self', 'wait-for-reset' or 'leave-during-status'";
    return false;
  }
  return true;
}

// Times in whole milliseconds; a minute at most, as the device file's other times.
constexpr uint32_t kMaxMilliseconds = 60000;
constexpr uint32_t kMaxSyncAnswers = 255;

using Setter = bool (*)(SimDfuVariantKeys& keys, const std::string& value, std::string& why);
struct VariantKey {
  const char* name;  // lower case
  Setter set;
};

const VariantKey kVariantKeys[] = {
    {"strict",
     [](SimDfuVariantKeys& k, const std::string& v, std::string& why) { return ParseFlag(v, k.strict, why); }},
    {"stallearlystatus", [](SimDfuVariantKeys& k, const std::string& v,
                            std::string& why) { return ParseFlag(v, k.stallEarlyStatus, why); }},
    {"stalldetachinbootloader", [](SimDfuVariantKeys& k, const std::string& v,
                                   std::string& why) { return ParseFlag(v, k.stallDetachInBootloader, why); }},
    {"manifestationend",
     [](SimDfuVariantKeys& k, const std::string& v, std::string& why) { return ParseEnd(v, k.manifestationEnd, why); }},
    {"stallsinglealternatesetting", [](SimDfuVariantKeys& k, const std::string& v,
                                       std::string& why) { return ParseFlag(v, k.stallSingleAlternateSetting, why); }},
    {"syncanswersafterbusy",
     [](SimDfuVariantKeys& k, const std::string& v, std::string& why) {
       return ParseCount(v, kMaxSyncAnswers, k.syncAnswersAfterBusy, why);
     }},
    {"busyoverrunms", [](SimDfuVariantKeys& k, const std::string& v,
                         std::string& why) { return ParseCount(v, kMaxMilliseconds, k.busyOverrunMs, why); }},
    {"busypolltimeoutms", [](SimDfuVariantKeys& k, const std::string& v,
                             std::string& why) { return ParseCount(v, kMaxMilliseconds, k.busyPollTimeoutMs, why); }},
};

const VariantKey* Find(const std::string& key) {
  for (const VariantKey& candidate : kVariantKeys) {
    if (key == candidate.name) return &candidate;
  }
  return nullptr;
}

}  // namespace

SimDfuVariants SimDfuVariantKeys::Resolve() const {
  SimDfuVariants v = strict.value_or(false) ? SimDfuVariants::Strict() : SimDfuVariants{};
  v.stallEarlyStatus = stallEarlyStatus.value_or(v.stallEarlyStatus);
  v.stallDetachInBootloader = stallDetachInBootloader.value_or(v.stallDetachInBootloader);
  v.manifestationEnd = manifestationEnd.value_or(v.manifestationEnd);
  v.stallSingleAlternateSetting = stallSingleAlternateSetting.value_or(v.stallSingleAlternateSetting);
  v.syncAnswersAfterBusy = syncAnswersAfterBusy.value_or(v.syncAnswersAfterBusy);
  if (busyOverrunMs) {
    v.busyOverrun = std::chrono::milliseconds(*busyOverrunMs);
  }
  if (busyPollTimeoutMs) {
    v.busyRepollMs = *busyPollTimeoutMs;
  }
  return v;
}

bool IsSimDfuVariantKey(const std::string& key) { return Find(key) != nullptr; }

bool SetSimDfuVariantKey(SimDfuVariantKeys& keys, const std::string& key, const std::string& value, std::string& why) {
  const VariantKey* rule = Find(key);
  if (rule == nullptr) {
    why = "not a variant key";
    return false;
  }
  return rule->set(keys, value, why);
}

}  // namespace plendrik::sim
