// Basic types shared by every layer: the status type, the UTF-16 character of the
// library's boundary and the wide string built from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "flashbridge.h"

namespace plendrik {

// One UTF-16 code unit: wchar_t on windows, char16_t on the host.
using QXWChar = QXDFU_WCHAR;
using QXWString = std::basic_string<QXWChar>;
using QXWStringView = std::basic_string_view<QXWChar>;

#if defined(_WIN32)
#define QXW_(s) L##s
#else
#define QXW_(s) u##s
#endif
// Wide string literal in the library's UTF-16 character type.
#define QXW(s) QXW_(s)

}  // namespace plendrik
