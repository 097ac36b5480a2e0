// Copies a wide string into a caller's buffer whose capacity is counted in UTF-16 units,
// terminator included.
#pragma once

#include "os/QXOsTypes.h"

namespace plendrik {

// Empty source: QXSTATUS_NOT_AVAILABLE. Source shorter than stringBufferMaxItems: copied up to
// its first NUL and terminated. Otherwise QXSTATUS_BUFFER_TOO_SMALL. The buffer is untouched
// on failure.
QXSTATUS QXCopyStringToStringBuffer(QXWStringView source, QXWChar* stringBuffer, uint32_t stringBufferMaxItems);

}  // namespace plendrik
