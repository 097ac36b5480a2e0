// Conversion between GUIDs and their braced text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
#pragma once

#include "discovery/QXWinSetupApiTypes.h"

namespace plendrik {

class QXWinGuid {
 public:
  // Accepts only the braced form. On failure the GUID is zeroed, "IIDFromString failed,
  // res={}" is logged and QXSTATUS_INVALID_FORMAT returned.
  static QXSTATUS GuidFromString(const QXWString& text, QXGuid& guid);
  // The braced form with upper-case hexadecimal digits.
  static QXWString StringFromGuid(const QXGuid& guid);

 private:
  // The platform's conversion: 0 or the failing HRESULT.
  static int32_t ParseBracedGuid(const QXWString& text, QXGuid& guid);
};

}  // namespace plendrik
