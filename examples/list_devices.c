/*
 * Lists the connected USB DFU devices that match a device filter: the library used from C,
 * as a caller would, linked against it.
 *
 *   list_devices ["VID=0x1209, PID=0x0001"]
 *
 * Prints the library's API version, the number of matching devices and, for each, its
 * properties (the device is opened for that and closed again). Exit code 0 when the listing
 * worked (also with 0 devices), 1 otherwise.
 */
#include <stdio.h>

#include "flashbridge.h"

/* Writes a NUL-terminated UTF-16 text as UTF-8 (an unpaired surrogate becomes U+FFFD). */
static void PrintUtf16(const QXDFU_WCHAR* text) {
  size_t i;
  for (i = 0; text[i] != 0; ++i) {
    unsigned long cp = (unsigned long)text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + ((unsigned long)text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      putchar((int)cp);
    } else if (cp < 0x800) {
      putchar((int)(0xC0 | (cp >> 6)));
      putchar((int)(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      putchar((int)(0xE0 | (cp >> 12)));
      putchar((int)(0x80 | ((cp >> 6) & 0x3F)));
      putchar((int)(0x80 | (cp & 0x3F)));
    } else {
      putchar((int)(0xF0 | (cp >> 18)));
      putchar((int)(0x80 | ((cp >> 12) & 0x3F)));
      putchar((int)(0x80 | ((cp >> 6) & 0x3F)));
      putchar((int)(0x80 | (cp & 0x3F)));
    }
  }
}

/* Opens entry index of the enumeration, prints its properties and closes it; 0 when it worked. */
static int PrintDevice(uint32_t enumeration, uint32_t index) {
  static const struct {
    uint32_t id;
    const char* name;
  } kUintProperties[] = {{QXDFU_DEVICE_PROPERTY_VENDOR_ID, "vendor id"},
                         {QXDFU_DEVICE_PROPERTY_PRODUCT_ID, "product id"},
                         {QXDFU_DEVICE_PROPERTY_BCD_DEVICE, "bcdDevice"},
                         {QXDFU_DEVICE_PROPERTY_CURRENT_RUN_MODE, "run mode"}},
    kStringProperties[] = {{QXDFU_DEVICE_PROPERTY_MANUFACTURER, "manufacturer"},
                           {QXDFU_DEVICE_PROPERTY_PRODUCT, "product"},
                           {QXDFU_DEVICE_PROPERTY_SERIAL_NUMBER, "serial number"},
                           {QXDFU_DEVICE_PROPERTY_DEVICE_INSTANCE_ID, "instance id"},
                           {QXDFU_DEVICE_PROPERTY_CONTAINER_ID, "container id"}};
  static const char* const kRunModes[] = {"unknown", "application", "bootloader"};
  uint32_t device = 0;
  size_t i;
  int failed = 0;
  QXSTATUS st = QXDFU_OpenDevice(enumeration, index, &device, 0);
  if (st != QXSTATUS_SUCCESS) {
    fprintf(stderr, "QXDFU_OpenDevice(%u) failed, st=0x%08X (%s)\n", (unsigned)index, (unsigned)st,
            QXDFU_GetErrorText(st));
    return 1;
  }
  printf("device %u:\n", (unsigned)index);
  for (i = 0; i < sizeof(kUintProperties) / sizeof(kUintProperties[0]); ++i) {
    uint32_t value = 0;
    st = QXDFU_GetDevicePropertyUint(device, kUintProperties[i].id, &value);
    if (st != QXSTATUS_SUCCESS) {
      fprintf(stderr, "  %s: failed, st=0x%08X (%s)\n", kUintProperties[i].name, (unsigned)st, QXDFU_GetErrorText(st));
      failed = 1;
    } else if (kUintProperties[i].id == QXDFU_DEVICE_PROPERTY_CURRENT_RUN_MODE) {
      printf("  %s: %s\n", kUintProperties[i].name, value <= 2 ? kRunModes[value] : "?");
    } else {
      printf("  %s: 0x%04X\n", kUintProperties[i].name, (unsigned)value);
    }
  }
  for (i = 0; i < sizeof(kStringProperties) / sizeof(kStringProperties[0]); ++i) {
    QXDFU_WCHAR text[256];
    st = QXDFU_GetDevicePropertyString(device, kStringProperties[i].id, text, sizeof(text) / sizeof(text[0]));
    if (st == QXSTATUS_SUCCESS) {
      printf("  %s: ", kStringProperties[i].name);
      PrintUtf16(text);
      printf("\n");
    } else if (st == QXSTATUS_NOT_AVAILABLE) {
      printf("  %s: (none)\n", kStringProperties[i].name);
    } else {
      fprintf(stderr, "  %s: failed, st=0x%08X (%s)\n", kStringProperties[i].name, (unsigned)st,
              QXDFU_GetErrorText(st));
      failed = 1;
    }
  }
  st = QXDFU_CloseDevice(device);
  if (st != QXSTATUS_SUCCESS) {
    fprintf(stderr, "QXDFU_CloseDevice failed, st=0x%08X (%s)\n", (unsigned)st, QXDFU_GetErrorText(st));
    failed = 1;
  }
  return failed;
}

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
  {
    uint32_t i;
    int failed = 0;
    for (i = 0; i < count; ++i) {
      failed |= PrintDevice(enumeration, i);
    }
    if (failed) {
      QXDFU_CloseEnumeration(enumeration);
      return 1;
    }
  }
  /* The enumeration handle belongs to the library; give it back. */
  st = QXDFU_CloseEnumeration(enumeration);
  if (st != QXSTATUS_SUCCESS) {
    fprintf(stderr, "QXDFU_CloseEnumeration failed, st=0x%08X (%s)\n", (unsigned)st, QXDFU_GetErrorText(st));
    return 1;
  }
  return 0;
}
