// Text to number conversion shared by the filter language and the configuration files.
#pragma once

#include "os/QXOsTypes.h"

namespace plendrik {

// Decimal, or hexadecimal after "0x"/"0X"; leading white space skipped; an optional sign as
// the C library accepts it (a negative value wraps and so ends out of range for every caller).
// No digit: QXSTATUS_INVALID_FORMAT. Above 32 bits: QXSTATUS_OUT_OF_RANGE. The digits must
// be followed by the end of the text or white space, else QXSTATUS_INVALID_FORMAT.
QXSTATUS QXConvertStringToNumeric(const char* text, uint32_t& value);

}  // namespace plendrik
