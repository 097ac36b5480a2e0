// The device-file keys that make a simulated DFU device as strict as hardware may be
// (documented in README.md, "DFU devices"): `Strict` and one key per behaviour, which
// overrides what `Strict` chose whatever the order of the lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sim/SimDfuVariants.h"

namespace plendrik::sim {

struct SimDfuVariantKeys {
  std::optional<bool> strict;
  std::optional<bool> stallEarlyStatus;
  std::optional<bool> stallDetachInBootloader;
  std::optional<SimManifestationEnd> manifestationEnd;
  std::optional<bool> stallSingleAlternateSetting;
  std::optional<uint32_t> syncAnswersAfterBusy;
  std::optional<uint32_t> busyOverrunMs;
  std::optional<uint32_t> busyPollTimeoutMs;

  // The lenient defaults, or the strict set with `Strict = yes`, then every key given.
  SimDfuVariants Resolve() const;
};

// True when `key` (lower case) is one of the variant keys.
bool IsSimDfuVariantKey(const std::string& key);
// Stores the value of a variant key; false with why set when the value is refused.
bool SetSimDfuVariantKey(SimDfuVariantKeys& keys, const std::string& key, const std::string& value, std::string& why);

}  // namespace plendrik::sim
