/*
 * Lists the connected USB DFU devices that match a device filter: the library used from C,
 * as a caller would, linked against it.
 *
 *   list_devices ["VID=0x1209, PID=0x0001"]
 *
 * Prints the library's API version and the number of matching devices. Exit code 0 when
 * the listing worked (also with 0 devices), 1 otherwise.
 */
#include <stdio.h>

#include "flashbridge.h"

int main(int argc, char** argv) {
  const char* filter = argc > 1 ? argv[1] : "VID=0x1209, PID=0x0001";
  uint32_t version = QXDFU_GetApiVersion();
  uint32_t enumeration = 0;
  uint32_t count = 0;
  QXSTATUS st;

  printf("flashbridge API version %u.%u\n", (unsigned)(version >> 16), (unsigned)(version & 0xFFFFu));
  if (!QXDFU_CheckApiVersion(QXDFU_API_VERSION_MAJOR, QXDFU_API_VERSION_MINOR)) {
    fprintf(stderr, "this program needs API version %u.%u\n", QXDFU_API_VERSION_MAJOR, QXDFU_API_VERSION_MINOR);
    return 1;
  }
  /* No retries: list what is connected now. */
  st = QXDFU_EnumerateUsbDfuDevices(filter, &enumeration, &count, 0, 0, 0);
  if (st != QXSTATUS_SUCCESS) {
    /* The name of the status, for example QXSTATUS_INVALID_FORMAT for a bad filter text. */
    fprintf(stderr, "QXDFU_EnumerateUsbDfuDevices failed, st=0x%08X (%s)\n", (unsigned)st, QXDFU_GetErrorText(st));
    return 1;
  }
  printf("%u device%s match \"%s\"\n", (unsigned)count, count == 1 ? "" : "s", filter);
  /* The enumeration handle belongs to the library; give it back. */
  st = QXDFU_CloseEnumeration(enumeration);
  if (st != QXSTATUS_SUCCESS) {
    fprintf(stderr, "QXDFU_CloseEnumeration failed, st=0x%08X (%s)\n", (unsigned)st, QXDFU_GetErrorText(st));
    return 1;
  }
  return 0;
}
