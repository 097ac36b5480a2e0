/* Additions of the host build of flashbridge (flashbridge.so) beside the QXDFU_ API. The
   windows library does not have them; resolve them at run time where both are loaded. */
#ifndef FLASHBRIDGE_HOST_H
#define FLASHBRIDGE_HOST_H

#include "flashbridge.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The name a log line gives a status: "ERROR_SUCCESS" for 0, else the library's own name,
   else the Windows error or HRESULT name of the platform's error header (also for an HRESULT
   made from a Windows error code), else "unknown". The pointer stays valid for the life of
   the library. */
QXDFU_EXPORT const char* QXHOST_GetStatusLogName(QXSTATUS status);

#ifdef __cplusplus
}
#endif

#endif
