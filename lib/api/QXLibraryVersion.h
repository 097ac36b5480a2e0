// The library's own version, as the banner and a session recording's header give it.
#pragma once

#include <cstdint>

namespace plendrik {

constexpr uint32_t kQXLibraryVersionMajor = 2;
constexpr uint32_t kQXLibraryVersionMinor = 60;
constexpr uint32_t kQXLibraryVersionPatch = 0;
constexpr const char* kQXLibraryVersionText = "2.60.0";

}  // namespace plendrik
