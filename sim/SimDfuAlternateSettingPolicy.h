// Which SET_INTERFACE requests to its DFU interface a simulated DFU device refuses: USB 2.0
// lets a device stall SET_INTERFACE to an interface that has only one alternate setting.
#pragma once

#include <cstddef>

#include "sim/SimDfuVariants.h"

namespace plendrik::sim {

class SimDfuAlternateSettingPolicy {
 public:
  explicit SimDfuAlternateSettingPolicy(const SimDfuVariants& variants)
      : mStallSingle(variants.stallSingleAlternateSetting) {}

  bool Refuses(size_t alternateSettings) const { return mStallSingle && alternateSettings == 1; }

 private:
  const bool mStallSingle;
};

}  // namespace plendrik::sim
