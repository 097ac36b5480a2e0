// Names of status codes: the library's own codes, the configuration manager and USB stack
// families, and the Windows error and HRESULT names of the platform's error header.
#pragma once

#include "os/QXOsTypes.h"

namespace plendrik {

// The name of one of the library's status codes, or null. Keyed by the whole 32-bit value.
const char* QXStatusName(QXSTATUS status);

// The symbolic name of a Windows error code or HRESULT as winerror.h spells it, or null.
const char* QXWin32ErrorName(uint32_t value);

// The name a log line shows for a status: "ERROR_SUCCESS" for 0, then the library's name,
// then the Windows name, then the Windows name of a facility-7 HRESULT's low 16 bits,
// else "unknown". Never null.
const char* QXStatusLogName(QXSTATUS status);

}  // namespace plendrik
