/*
 * flashbridge: public C interface of the USB DFU firmware upgrade library.
 *
 * Conventions that hold for every function below:
 * - Every object (enumeration, device, image, device change registration) lives inside the
 *   library and is reached through a 32-bit handle; 0 is never a valid handle. The library
 *   owns the objects; the caller owns only its buffers and gives handles back with the
 *   matching Close/Unload/Unregister function. Handles left open are released (and
 *   reported in the log) when the library is unloaded.
 * - On Windows each thread of the library (that of a device change registration, that of a
 *   running upgrade) holds a reference to the library until it has ended: FreeLibrary while
 *   one lives only gives back the caller's reference, and the library is unloaded once the
 *   last such thread ends. Unregister callbacks and finish upgrades before unloading. This is
 *   what makes FreeLibrary safe from inside a callback, and an unload safe while a callback
 *   loads a library. When the process ends, the library leaves everything to the system.
 * - Nearly every function returns a QXSTATUS: QXSTATUS_SUCCESS (0) or an error code;
 *   QXDFU_GetErrorText names any code. Common to all functions that take them:
 *   a null required pointer gives QXSTATUS_INVALID_PARAMETER, and an out-handle is set to 0
 *   before any work, so it is 0 after every other failure; an unknown, closed or foreign
 *   handle gives QXSTATUS_INVALID_HANDLE; flags bits a function does not know give
 *   QXSTATUS_INVALID_PARAMETER (except QXDFU_StartFileLogging, which ignores them).
 * - Wide strings are NUL-terminated UTF-16 on every platform: wchar_t on Windows, char16_t
 *   elsewhere (QXDFU_GetUniCharSize answers 2). A string buffer's capacity
 *   (stringBufferMaxItems) is counted in UTF-16 units, terminator included.
 * - Narrow strings (device filter texts, status names) are 8-bit ASCII text.
 * - Every function may be called from any thread. Errors are also written to the log.
 *
 * Usable from C and C++.
 */
#ifndef FLASHBRIDGE_H
#define FLASHBRIDGE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The UTF-16 "wide string" at the boundary. */
#if defined(_WIN32)
#include <wchar.h>
typedef wchar_t QXDFU_WCHAR;
#else
#include <uchar.h>
typedef char16_t QXDFU_WCHAR;
#endif

#if defined(QXDFU_BUILDING_LIBRARY) && !defined(_WIN32)
#define QXDFU_EXPORT __attribute__((visibility("default")))
#else
#define QXDFU_EXPORT
#endif

typedef uint32_t QXSTATUS;

#define QXDFU_API_VERSION_MAJOR 1u
#define QXDFU_API_VERSION_MINOR 13u

/* Run modes (device property 7, QXDFU_RebootDevice). */
#define QXDFU_RUN_MODE_UNKNOWN 0u
#define QXDFU_RUN_MODE_APPLICATION 1u
#define QXDFU_RUN_MODE_BOOTLOADER 2u

/* Device and enumerator type. */
#define QXDFU_DEVICE_TYPE_USB_DFU 1u

/* Upgrade states (QXDFU_GetUpgradeStatus). */
#define QXDFU_UPGRADE_STATE_IDLE 0u
#define QXDFU_UPGRADE_STATE_INITIALIZING 1u
#define QXDFU_UPGRADE_STATE_IN_PROGRESS 2u
#define QXDFU_UPGRADE_STATE_FINISHED 3u
#define QXDFU_UPGRADE_STATE_FAILED 4u

/* Device properties. */
#define QXDFU_DEVICE_PROPERTY_VENDOR_ID 1u
#define QXDFU_DEVICE_PROPERTY_PRODUCT_ID 2u
#define QXDFU_DEVICE_PROPERTY_BCD_DEVICE 3u
#define QXDFU_DEVICE_PROPERTY_MANUFACTURER 4u
#define QXDFU_DEVICE_PROPERTY_PRODUCT 5u
#define QXDFU_DEVICE_PROPERTY_SERIAL_NUMBER 6u
#define QXDFU_DEVICE_PROPERTY_CURRENT_RUN_MODE 7u
#define QXDFU_DEVICE_PROPERTY_DEVICE_INSTANCE_ID 8u
#define QXDFU_DEVICE_PROPERTY_CONTAINER_ID 9u

/* Image properties. */
#define QXDFU_IMAGE_PROPERTY_IMAGE_SIZE 1u
#define QXDFU_IMAGE_PROPERTY_METADATA_VALUE_A 2u
#define QXDFU_IMAGE_PROPERTY_METADATA_VALUE_B 3u
#define QXDFU_IMAGE_PROPERTY_VERSION_1 4u
#define QXDFU_IMAGE_PROPERTY_VERSION_2 5u
#define QXDFU_IMAGE_PROPERTY_VERSION_3 6u
#define QXDFU_IMAGE_PROPERTY_VERSION_4 7u
#define QXDFU_IMAGE_PROPERTY_TARGET_ID 8u
#define QXDFU_IMAGE_PROPERTY_METADATA_VALUE_C 9u
#define QXDFU_IMAGE_PROPERTY_BUILD_DATE 10u
#define QXDFU_IMAGE_PROPERTY_BUILD_KIND 11u
#define QXDFU_IMAGE_PROPERTY_HAS_DFU_SUFFIX 12u
#define QXDFU_IMAGE_PROPERTY_SUFFIX_VENDOR_ID 13u
#define QXDFU_IMAGE_PROPERTY_SUFFIX_PRODUCT_ID 14u
#define QXDFU_IMAGE_PROPERTY_SUFFIX_BCD_DEVICE 15u
#define QXDFU_IMAGE_PROPERTY_SUFFIX_BCD_DFU 16u

/* Image types. */
#define QXDFU_IMAGE_TYPE_RAW_BINARY 1u
#define QXDFU_IMAGE_TYPE_QX_BINARY 2u

/* Device change events. */
#define QXDFU_DEVICE_CHANGE_UNKNOWN 0u
#define QXDFU_DEVICE_CHANGE_ARRIVAL 1u
#define QXDFU_DEVICE_CHANGE_REMOVAL 2u

/* Flags. */
#define QXDFU_LOGGING_FLAG_APPEND_MODE 0x1u
#define QXDFU_LOGGING_FLAG_FLUSH_AFTER_WRITE 0x2u
#define QXDFU_DEVICE_FLAG_USE_XMOS_DFU_EXTENSIONS 0x1u
#define QXDFU_REBOOT_FLAG_USE_XMOS_DFU_EXTENSIONS 0x1u
#define QXDFU_UPGRADE_FLAG_USE_XMOS_DFU_EXTENSIONS 0x1u
#define QXDFU_UPGRADE_FLAG_UNLOCK_TARGET 0x2u

/* Status codes of the library (QXDFU_GetErrorText gives their names). */
#define QXSTATUS_SUCCESS 0x00000000u
#define QXSTATUS_FAILED 0xEE000001u
#define QXSTATUS_INTERNAL_ERROR 0xEE000002u
#define QXSTATUS_TIMEOUT 0xEE000003u
#define QXSTATUS_REJECTED 0xEE000004u
#define QXSTATUS_ABORTED 0xEE000005u
#define QXSTATUS_IN_USE 0xEE000006u
#define QXSTATUS_BUSY 0xEE000007u
#define QXSTATUS_ALREADY_DONE 0xEE000008u
#define QXSTATUS_PENDING 0xEE000009u
#define QXSTATUS_WOULD_BLOCK 0xEE00000Au
#define QXSTATUS_ACCESS_DENIED 0xEE00000Bu
#define QXSTATUS_MISSING_ARGUMENT 0xEE000010u
#define QXSTATUS_MISSING_OPTION 0xEE000011u
#define QXSTATUS_MISSING_VALUE 0xEE000012u
#define QXSTATUS_UNKNOWN_OPTION 0xEE000013u
#define QXSTATUS_NO_MEMORY 0xEE000020u
#define QXSTATUS_NO_RESOURCES 0xEE000021u
#define QXSTATUS_NO_MORE_ITEMS 0xEE000022u
#define QXSTATUS_NO_DEVICES 0xEE000023u
#define QXSTATUS_NO_DATA 0xEE000024u
#define QXSTATUS_NO_ADDRESS 0xEE000025u
#define QXSTATUS_NO_SPACE 0xEE000026u
#define QXSTATUS_NO_MATCH 0xEE000027u
#define QXSTATUS_MORE_DATA_REQUIRED 0xEE000028u
#define QXSTATUS_RETRY_REQUIRED 0xEE000029u
#define QXSTATUS_NOT_SUPPORTED 0xEE000030u
#define QXSTATUS_NOT_POSSIBLE 0xEE000031u
#define QXSTATUS_NOT_ALLOWED 0xEE000032u
#define QXSTATUS_NOT_OPENED 0xEE000033u
#define QXSTATUS_NOT_AVAILABLE 0xEE000034u
#define QXSTATUS_INSTANCE_NOT_AVAILABLE 0xEE000035u
#define QXSTATUS_NOT_INITIALIZED 0xEE000036u
#define QXSTATUS_FORMAT_NOT_SUPPORTED 0xEE000037u
#define QXSTATUS_NOT_PRESENT 0xEE000038u
#define QXSTATUS_NOT_FOUND 0xEE000039u
#define QXSTATUS_NOT_ENABLED 0xEE00003Au
#define QXSTATUS_CONVERSION_FAILED 0xEE00003Bu
#define QXSTATUS_NOT_HANDLED 0xEE00003Cu
#define QXSTATUS_DUPLICATE 0xEE00003Du
#define QXSTATUS_NOT_COMPATIBLE 0xEE00003Eu
#define QXSTATUS_INVALID_IOCTL 0xEE000040u
#define QXSTATUS_INVALID_PARAMETER 0xEE000041u
#define QXSTATUS_INVALID_LENGTH 0xEE000042u
#define QXSTATUS_INVALID_BUFFER_SIZE 0xEE000043u
#define QXSTATUS_INVALID_INBUF_SIZE 0xEE000044u
#define QXSTATUS_INVALID_OUTBUF_SIZE 0xEE000045u
#define QXSTATUS_INVALID_TYPE 0xEE000046u
#define QXSTATUS_INVALID_INDEX 0xEE000047u
#define QXSTATUS_INVALID_HANDLE 0xEE000048u
#define QXSTATUS_INVALID_DEVICE_STATE 0xEE000049u
#define QXSTATUS_INVALID_DEVICE_CONFIG 0xEE00004Au
#define QXSTATUS_INVALID_DESCRIPTOR 0xEE000050u
#define QXSTATUS_INVALID_FORMAT 0xEE000051u
#define QXSTATUS_INVALID_CONFIGURATION 0xEE000052u
#define QXSTATUS_INVALID_MODE 0xEE000053u
#define QXSTATUS_INVALID_COMMAND 0xEE000054u
#define QXSTATUS_INVALID_FILE 0xEE000055u
#define QXSTATUS_INVALID_EP_INTERVAL 0xEE000056u
#define QXSTATUS_INVALID_DATA 0xEE000057u
#define QXSTATUS_INVALID_ADDRESS 0xEE000058u
#define QXSTATUS_INVALID_SIZE 0xEE000059u
#define QXSTATUS_VERSION_MISMATCH 0xEE000060u
#define QXSTATUS_LENGTH_MISMATCH 0xEE000061u
#define QXSTATUS_MAGIC_MISMATCH 0xEE000062u
#define QXSTATUS_VALUE_UNKNOWN 0xEE000063u
#define QXSTATUS_UNEXPECTED_DEVICE_RESPONSE 0xEE000064u
#define QXSTATUS_USB_STALL 0xEE000065u
#define QXSTATUS_UNEXPECTED_RESULT 0xEE000066u
#define QXSTATUS_OUT_OF_RANGE 0xEE000067u
#define QXSTATUS_TRANSACTION_ERROR 0xEE000068u
#define QXSTATUS_CHECKSUM_ERROR 0xEE000069u
#define QXSTATUS_ENUM_REQUIRED 0xEE000070u
#define QXSTATUS_DEVICE_REMOVED 0xEE000071u
#define QXSTATUS_DEVICES_EXIST 0xEE000072u
#define QXSTATUS_WRONG_DEVICE_STATE 0xEE000073u
#define QXSTATUS_BUFFER_TOO_SMALL 0xEE000074u
#define QXSTATUS_RESTART_REQUIRED 0xEE000075u
#define QXSTATUS_REGISTRY_ACCESS_FAILED 0xEE000080u
#define QXSTATUS_OBJECT_NOT_FOUND 0xEE000081u
#define QXSTATUS_NOT_IN_HIGH_SPEED_MODE 0xEE000082u
#define QXSTATUS_WRONG_DIRECTION 0xEE000083u
#define QXSTATUS_PARAMETER_REJECTED 0xEE000084u
#define QXSTATUS_ALREADY_OPEN 0xEE000085u
#define QXSTATUS_HARDWARE_ACCESS_FAILED 0xEE000086u
#define QXSTATUS_HARDWARE_ERROR 0xEE000087u
#define QXSTATUS_OPEN_FILE_FAILED 0xEE000090u
#define QXSTATUS_READ_FILE_FAILED 0xEE000091u
#define QXSTATUS_WRITE_FILE_FAILED 0xEE000092u
#define QXSTATUS_IS_READ_ONLY 0xEE000093u
#define QXSTATUS_SYSTEM_IS_OWNER 0xEE000094u
#define QXSTATUS_PENDING_FILE_DELETION 0xEE000095u
#define QXSTATUS_FILE_NOT_FOUND 0xEE000096u
#define QXSTATUS_DEFERRED_DATA_STAGE 0xEE000100u
#define QXSTATUS_FRAME_NUMBER_NOT_RCV 0xEE000101u
#define QXSTATUS_EP_DISABLE 0xEE000102u
#define QXSTATUS_EP_RESET 0xEE000103u
#define QXSTATUS_ADMIN_PRIVILEGES_REQUIRED 0xEE000110u
#define QXSTATUS_NOT_ALLOWED_IN_WOW64 0xEE000111u
#define QXSTATUS_I2C_NO_ACK_FOR_ADDRESS 0xEE000120u
#define QXSTATUS_I2C_NO_ACK 0xEE000121u
#define QXSTATUS_PROBLEM1 0xEE001001u
#define QXSTATUS_PROBLEM2 0xEE001002u
#define QXSTATUS_DFU_STATUS_ERROR 0xEE001100u
#define QXSTATUS_APP_ERROR1 0xEE002001u
#define QXSTATUS_APP_ERROR2 0xEE002002u

/* C run-time error family: 0xE0010000 | (errno & 0xFFFF). */
#define QXSTATUS_FROM_ERRNO(e) (0xE0010000u | ((uint32_t)(e)&0xFFFFu))

/* Called on the registration's own thread with the caller's context and
 * QXDFU_DEVICE_CHANGE_ARRIVAL or QXDFU_DEVICE_CHANGE_REMOVAL. */
typedef void (*QXDFU_DEVICE_CHANGE_CALLBACK)(void* callbackContext, uint32_t event);

/* ---- Set-up and general ---------------------------------------------------------------- */

/* The API version of the library: major in the upper 16 bits, minor in the lower (0x0001000D). */
QXDFU_EXPORT uint32_t QXDFU_GetApiVersion(void);

/* 1 when the library serves a caller built for majorVersion.minorVersion (major 1, minor at
 * most 13), else 0 (and an error line in the log). */
QXDFU_EXPORT int32_t QXDFU_CheckApiVersion(uint32_t majorVersion, uint32_t minorVersion);

/* The size in bytes of one unit of the library's wide strings: 2. */
QXDFU_EXPORT uint32_t QXDFU_GetUniCharSize(void);

/* The name of a status code, such as "QXSTATUS_INVALID_HANDLE", or "unknown". Never null;
 * the text is constant and stays valid while the library is loaded. */
QXDFU_EXPORT const char* QXDFU_GetErrorText(QXSTATUS status);

/* Starts writing the log to the file logFileName (environment variables in %NAME% are
 * expanded). flags: QXDFU_LOGGING_FLAG_APPEND_MODE keeps an existing file (otherwise it is
 * renamed to <name>.bak and a new file is started), QXDFU_LOGGING_FLAG_FLUSH_AFTER_WRITE
 * flushes every line; other bits are ignored. Works once per process: a running file log,
 * also one started by the logging ini file, gives QXSTATUS_ALREADY_DONE and stays as it is.
 * A name of only blanks returns QXSTATUS_SUCCESS and leaves file logging off.
 * Errors: QXSTATUS_INVALID_PARAMETER (logFileName null), a C run-time error
 * (QXSTATUS_FROM_ERRNO) when the file cannot be opened. */
QXDFU_EXPORT QXSTATUS QXDFU_StartFileLogging(const QXDFU_WCHAR* logFileName, uint32_t flags);

/* ---- Images ------------------------------------------------------------------------------
 * An image is loaded whole into the library's memory. A valid DFU file suffix at its end is
 * checked and not part of the firmware. imageType: QXDFU_IMAGE_TYPE_RAW_BINARY (the bytes are
 * the firmware) or QXDFU_IMAGE_TYPE_QX_BINARY (firmware with a metadata block and CRC, both
 * verified on load). flags must be 0. Unload every image with QXDFU_UnloadFirmwareImage. */

/* Loads an image file. Errors: QXSTATUS_INVALID_PARAMETER (null pointer, bad type or flags),
 * QXSTATUS_FROM_ERRNO(...) (cannot open), QXSTATUS_INVALID_FILE (empty, or only a DFU suffix),
 * QXSTATUS_READ_FILE_FAILED, QXSTATUS_CHECKSUM_ERROR (DFU suffix or image CRC wrong),
 * QXSTATUS_NO_MEMORY, QXSTATUS_NO_RESOURCES (too many images). */
QXDFU_EXPORT QXSTATUS QXDFU_LoadFirmwareImageFromFile(const QXDFU_WCHAR* filePathAndName, uint32_t imageType,
                                                      uint32_t* imageHandle, uint32_t flags);
/* Loads an image from memory; the bytes are copied, so the caller may free buffer on return.
 * Errors as above; a null buffer or bufferSize 0 is QXSTATUS_INVALID_PARAMETER. */
QXDFU_EXPORT QXSTATUS QXDFU_LoadFirmwareFromBuffer(const void* buffer, uint64_t bufferSize, uint32_t imageType,
                                                   uint32_t* imageHandle, uint32_t flags);
/* Gives the image back. An upgrade that uses it keeps its own reference until it finishes. */
QXDFU_EXPORT QXSTATUS QXDFU_UnloadFirmwareImage(uint32_t imageHandle);
/* Image properties QXDFU_IMAGE_PROPERTY_*: IMAGE_SIZE (firmware bytes, suffix excluded) only
 * through the Uint64 variant; BUILD_DATE and BUILD_KIND only through the String variant; the
 * others through the Uint variant. The value is set to 0 (the buffer to "") first.
 * Errors: QXSTATUS_NOT_SUPPORTED (identifier not answered by this variant, a metadata value of
 * a raw image, a suffix value of an image without suffix), QXSTATUS_INVALID_SIZE
 * (stringBufferMaxItems below 2), QXSTATUS_BUFFER_TOO_SMALL (the string was cut to fit; the
 * buffer holds the cut, terminated text). */
QXDFU_EXPORT QXSTATUS QXDFU_GetImagePropertyUint(uint32_t imageHandle, uint32_t propertyId, uint32_t* propertyValue);
QXDFU_EXPORT QXSTATUS QXDFU_GetImagePropertyUint64(uint32_t imageHandle, uint32_t propertyId,
                                                   uint64_t* propertyValue);
QXDFU_EXPORT QXSTATUS QXDFU_GetImagePropertyString(uint32_t imageHandle, uint32_t propertyId,
                                                   QXDFU_WCHAR* stringBuffer, uint32_t stringBufferMaxItems);

/* ---- Enumeration ------------------------------------------------------------------------- */

/* Lists the connected devices that match deviceFilterDescription, one device per line:
 * "VID=0x1209, PID=0x0001\nVID=0x1209, PID=0x0002" (keys VID and PID required, MIN_BCDDEVICE
 * and MAX_BCDDEVICE optional; numbers decimal or 0x hexadecimal). The device interface class
 * comes from the InterfaceGUID of the configuration file beside the library.
 * When no device matches, it tries again up to retryCount times, waiting retryDelay
 * milliseconds before each new attempt. 0 devices is a success with a valid handle, which
 * must still be closed. flags must be 0.
 * Errors: QXSTATUS_INVALID_PARAMETER, QXSTATUS_INVALID_FORMAT (filter text; also a bad GUID),
 * QXSTATUS_DUPLICATE (a key twice in one line), QXSTATUS_OUT_OF_RANGE (number too large),
 * QXSTATUS_INVALID_CONFIGURATION (no InterfaceGUID configured), Windows errors of the
 * device listing. */
QXDFU_EXPORT QXSTATUS QXDFU_EnumerateUsbDfuDevices(const char* deviceFilterDescription, uint32_t* enumerationHandle,
                                                   uint32_t* deviceCount, uint32_t retryCount, uint32_t retryDelay,
                                                   uint32_t flags);
/* Gives the list back. Devices opened from it stay open. */
QXDFU_EXPORT QXSTATUS QXDFU_CloseEnumeration(uint32_t enumerationHandle);

/* ---- Devices and upgrades ---------------------------------------------------------------- */

/* QXSTATUS_SUCCESS when entry deviceIndex of the enumeration is the device behind
 * deviceHandle, QXSTATUS_NO_MATCH when it is another one. */
QXDFU_EXPORT QXSTATUS QXDFU_CompareDeviceInstance(uint32_t enumerationHandle, uint32_t deviceIndex,
                                                  uint32_t deviceHandle);
/* Opens entry deviceIndex (0 to deviceCount - 1) of an enumeration. flags must be 0.
 * Errors: QXSTATUS_INVALID_INDEX, USB and Windows errors of opening the device. */
QXDFU_EXPORT QXSTATUS QXDFU_OpenDevice(uint32_t enumerationHandle, uint32_t deviceIndex, uint32_t* deviceHandle,
                                       uint32_t flags);
/* Closes the device; a running upgrade is aborted. */
QXDFU_EXPORT QXSTATUS QXDFU_CloseDevice(uint32_t deviceHandle);
/* QXSTATUS_SUCCESS while the device is connected, QXSTATUS_DEVICE_REMOVED when it is gone. */
QXDFU_EXPORT QXSTATUS QXDFU_CheckDeviceConnection(uint32_t deviceHandle);
/* Device properties QXDFU_DEVICE_PROPERTY_*: VENDOR_ID, PRODUCT_ID, BCD_DEVICE and
 * CURRENT_RUN_MODE through the Uint variant, the others through the String variant.
 * String errors: QXSTATUS_NOT_AVAILABLE (the device has no such string),
 * QXSTATUS_BUFFER_TOO_SMALL (nothing is written; the text needs more units). After a
 * successful QXDFU_RebootDevice: QXSTATUS_INVALID_DEVICE_STATE. */
QXDFU_EXPORT QXSTATUS QXDFU_GetDevicePropertyUint(uint32_t deviceHandle, uint32_t propertyId,
                                                  uint32_t* propertyValue);
QXDFU_EXPORT QXSTATUS QXDFU_GetDevicePropertyString(uint32_t deviceHandle, uint32_t propertyId,
                                                    QXDFU_WCHAR* stringBuffer, uint32_t stringBufferMaxItems);
/* Switches the device to runMode (QXDFU_RUN_MODE_APPLICATION or QXDFU_RUN_MODE_BOOTLOADER).
 * flags: QXDFU_REBOOT_FLAG_USE_XMOS_DFU_EXTENSIONS. The device then leaves the bus; enumerate
 * and open it again (with retries) and close this handle. QXSTATUS_ALREADY_DONE when it
 * already runs in runMode. */
QXDFU_EXPORT QXSTATUS QXDFU_RebootDevice(uint32_t deviceHandle, uint32_t runMode, uint32_t flags);
/* Starts downloading the image to the device (in its bootloader) on a worker thread and
 * returns. targetId: 0 to 255. flags: QXDFU_UPGRADE_FLAG_USE_XMOS_DFU_EXTENSIONS,
 * QXDFU_UPGRADE_FLAG_UNLOCK_TARGET. Poll QXDFU_GetUpgradeStatus, then call
 * QXDFU_FinishUpgrade. */
QXDFU_EXPORT QXSTATUS QXDFU_StartUpgrade(uint32_t deviceHandle, uint32_t imageHandle, uint32_t targetId,
                                         uint32_t flags);
/* The upgrade's state (QXDFU_UPGRADE_STATE_*), bytes sent so far, bytes in all, and, once
 * the state is FINISHED or FAILED, the upgrade's own result in completionStatus. */
QXDFU_EXPORT QXSTATUS QXDFU_GetUpgradeStatus(uint32_t deviceHandle, uint32_t* upgradeState, uint64_t* currentBytes,
                                             uint64_t* totalBytes, QXSTATUS* completionStatus);
/* Ends the upgrade and waits for its worker; an upgrade still running is aborted
 * (QXSTATUS_ABORTED). Needed after every QXDFU_StartUpgrade. flags must be 0. */
QXDFU_EXPORT QXSTATUS QXDFU_FinishUpgrade(uint32_t deviceHandle, uint32_t flags);

/* ---- Device change notification ---------------------------------------------------------- */

/* Calls callback(callbackContext, event) on a thread of the registration whenever a device
 * matching deviceFilterDescription (as for enumeration) arrives or is removed. */
QXDFU_EXPORT QXSTATUS QXDFU_RegisterDeviceChangeCallback(const char* deviceFilterDescription,
                                                         QXDFU_DEVICE_CHANGE_CALLBACK callback,
                                                         void* callbackContext, uint32_t* notificationHandle);
/* Ends the registration and waits until its thread has ended; when it returns, the callback
 * is not called again. A callback may end another registration, but not its own
 * (QXSTATUS_NOT_POSSIBLE, the registration stays). When two callbacks end each other's
 * registrations at the same time (or a ring of several does), each would wait for the other:
 * the call that would close the ring fails with QXSTATUS_NOT_POSSIBLE and changes nothing,
 * and the other call completes once that callback has returned. */
QXDFU_EXPORT QXSTATUS QXDFU_UnregisterDeviceChangeCallback(uint32_t notificationHandle);

#ifdef __cplusplus
}
#endif

#endif /* FLASHBRIDGE_H */
