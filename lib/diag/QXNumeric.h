// Text to number conversion shared by the filter language, hardware identifiers and the
// configuration files.
#pragma once

#include "os/QXOsTypes.h"

namespace plendrik {

// Decimal, or hexadecimal after "0x"/"0X" (a leading zero alone does not select octal:
// "010" is ten); leading white space (space, 0x09 to 0x0D) skipped; an optional sign as the
// C library accepts it (a negative value other than zero wraps and so ends out of range for
// every caller). No digit: QXSTATUS_INVALID_FORMAT. Above 32 bits: QXSTATUS_OUT_OF_RANGE.
// The digits must be followed by the end of the text or white space, else
// QXSTATUS_INVALID_FORMAT; what follows that white space is not examined.
// A null text is QXSTATUS_INVALID_PARAMETER. value is written only on success.
QXSTATUS QXConvertStringToNumeric(const char* text, uint32_t& value);

// The same rules for UTF-16 text, always hexadecimal (an optional "0x" prefix is accepted);
// used for the hexadecimal fields of hardware identifiers.
QXSTATUS QXConvertStringToNumeric(const QXWChar* text, uint32_t& value);

}  // namespace plendrik
