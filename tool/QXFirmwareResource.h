// The firmware image that the tool carries inside its own executable: resource type "FILE",
// id 103 on windows (flashtool.rc); on the host linked in as read-only data.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plendrik {

constexpr int kQXFirmwareResourceId = 103;

// Locates and loads the image; false when the executable carries none. The bytes live as long
// as the program.
bool QXLoadFirmwareResource(const uint8_t*& data, size_t& size);

}  // namespace plendrik
