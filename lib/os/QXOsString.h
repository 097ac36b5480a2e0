// Conversions between UTF-8 text, narrow byte text and the library's UTF-16 strings.
#pragma once

#include "QXOsTypes.h"

namespace plendrik {

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string QXUtf16ToUtf8(QXWStringView text);
// UTF-8 to UTF-16; invalid sequences become U+FFFD.
QXWString QXUtf8ToUtf16(std::string_view text);
// Each byte widened to one code unit (zero-extended), as for ASCII ini values.
QXWString QXWidenBytes(std::string_view text);
// Each code unit below 256 kept as that byte, others replaced by '?'.
std::string QXNarrowUnits(QXWStringView text);
// Length of a NUL-terminated wide string.
size_t QXWStrLen(const QXWChar* text);
// The text with its ASCII letters in upper or lower case; other bytes (UTF-8 sequences among
// them) stay as they are, whatever the C locale.
std::string QXAsciiUpper(std::string text);
std::string QXAsciiLower(std::string text);

}  // namespace plendrik
