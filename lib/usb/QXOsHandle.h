// Opaque handles of the transport's platform objects (files, events, mutexes, WinUSB
// interface handles) and their invalid values.
#pragma once

#include <cstdint>

namespace plendrik {

using QXOsHandle = void*;

// All bits set: INVALID_HANDLE_VALUE of files and the invalid WinUSB handle.
inline QXOsHandle QXOsInvalidHandle() { return reinterpret_cast<QXOsHandle>(~static_cast<uintptr_t>(0)); }

inline bool QXOsIsValidHandle(QXOsHandle handle) { return handle != nullptr && handle != QXOsInvalidHandle(); }

}  // namespace plendrik
