// Conversions of raw USB string descriptors: a string to UTF-16 text, descriptor 0 to the
// device's list of LANGIDs.
#pragma once

#include <cstdint>
#include <vector>

#include "os/QXOsTypes.h"

namespace plendrik {

// Copies the string's code units into string (capacity in code units) and terminates them.
QXSTATUS QXConvertUsbStringDescToString(const uint8_t* raw, uint32_t rawLength, QXWChar* string, uint32_t capacity);

// Appends the LANGIDs of string descriptor 0 to list, in order.
QXSTATUS QXConvertUsbStringDescToLangIdList(const uint8_t* raw, uint32_t rawLength, std::vector<uint16_t>& list);

}  // namespace plendrik
