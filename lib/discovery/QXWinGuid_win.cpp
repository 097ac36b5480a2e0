// GUID text conversion by ole32.
#include <objbase.h>

#include "discovery/QXWinGuid.h"

namespace plendrik {

int32_t QXWinGuid::ParseBracedGuid(const QXWString& text, QXGuid& guid) {
  // IIDFromString also resolves registered ProgIDs and takes an empty text as GUID_NULL;
  // only the braced 38-character form names an interface class here.
  if (text.size() != 38 || text.front() != L'{' || text.back() != L'}') {
    return static_cast<int32_t>(CO_E_IIDSTRING);
  }
  return static_cast<int32_t>(IIDFromString(text.c_str(), &guid));
}

QXWString QXWinGuid::StringFromGuid(const QXGuid& guid) {
  wchar_t buffer[40] = {};
  const int n = StringFromGUID2(guid, buffer, 40);
  return n > 0 ? QXWString(buffer, static_cast<size_t>(n - 1)) : QXWString();
}

}  // namespace plendrik
