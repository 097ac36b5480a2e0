/* A stand-in for the library with the same 25 export names, for the binding tests of the tool.
 * Built in variants: STUB_REFUSE_VERSION answers 0 to every version check; STUB_OMIT_LAST_EXPORT
 * leaves out QXDFU_UnregisterDeviceChangeCallback, the last name the tool resolves. The
 * functions do no work: they answer QXSTATUS_NOT_SUPPORTED. */
#include <stdint.h>

#if defined(_WIN32)
#define STUB_EXPORT __declspec(dllexport)
#else
#define STUB_EXPORT __attribute__((visibility("default")))
#endif

#define STUB_NOT_SUPPORTED 0xEE000030u

typedef uint32_t QXSTATUS;

STUB_EXPORT uint32_t QXDFU_GetApiVersion(void) {
#if defined(STUB_REFUSE_VERSION)
  return 0x00020000u;
#else
  return 0x0001000Du;
#endif
}

STUB_EXPORT int32_t QXDFU_CheckApiVersion(uint32_t majorVersion, uint32_t minorVersion) {
#if defined(STUB_REFUSE_VERSION)
  (void)majorVersion;
  (void)minorVersion;
  return 0;
#else
  return majorVersion == 1u && minorVersion <= 13u ? 1 : 0;
#endif
}

STUB_EXPORT uint32_t QXDFU_GetUniCharSize(void) { return 2u; }
STUB_EXPORT const char* QXDFU_GetErrorText(QXSTATUS status) {
  return status == STUB_NOT_SUPPORTED ? "QXSTATUS_NOT_SUPPORTED" : "unknown";
}

#define STUB_FUNCTION(name, params) \
  STUB_EXPORT QXSTATUS name params { return STUB_NOT_SUPPORTED; }

STUB_FUNCTION(QXDFU_StartFileLogging, (const void* logFileName, uint32_t flags))
STUB_FUNCTION(QXDFU_EnumerateUsbDfuDevices, (const char* filter, uint32_t* enumerationHandle, uint32_t* deviceCount,
                                             uint32_t retryCount, uint32_t retryDelay, uint32_t flags))
STUB_FUNCTION(QXDFU_CloseEnumeration, (uint32_t enumerationHandle))
STUB_FUNCTION(QXDFU_CompareDeviceInstance, (uint32_t enumerationHandle, uint32_t deviceIndex, uint32_t deviceHandle))
STUB_FUNCTION(QXDFU_OpenDevice, (uint32_t enumerationHandle, uint32_t deviceIndex, uint32_t* deviceHandle,
                                 uint32_t flags))
STUB_FUNCTION(QXDFU_CloseDevice, (uint32_t deviceHandle))
STUB_FUNCTION(QXDFU_CheckDeviceConnection, (uint32_t deviceHandle))
STUB_FUNCTION(QXDFU_GetDevicePropertyUint, (uint32_t deviceHandle, uint32_t propertyId, uint32_t* value))
STUB_FUNCTION(QXDFU_GetDevicePropertyString, (uint32_t deviceHandle, uint32_t propertyId, void* buffer,
                                              uint32_t maxItems))
STUB_FUNCTION(QXDFU_RebootDevice, (uint32_t deviceHandle, uint32_t runMode, uint32_t flags))
STUB_FUNCTION(QXDFU_StartUpgrade, (uint32_t deviceHandle, uint32_t imageHandle, uint32_t targetId, uint32_t flags))
STUB_FUNCTION(QXDFU_GetUpgradeStatus, (uint32_t deviceHandle, uint32_t* state, uint64_t* currentBytes,
                                       uint64_t* totalBytes, QXSTATUS* completionStatus))
STUB_FUNCTION(QXDFU_FinishUpgrade, (uint32_t deviceHandle, uint32_t flags))
STUB_FUNCTION(QXDFU_LoadFirmwareImageFromFile, (const void* fileName, uint32_t imageType, uint32_t* imageHandle,
                                                uint32_t flags))
STUB_FUNCTION(QXDFU_LoadFirmwareFromBuffer, (const void* buffer, uint64_t size, uint32_t imageType,
                                             uint32_t* imageHandle, uint32_t flags))
STUB_FUNCTION(QXDFU_UnloadFirmwareImage, (uint32_t imageHandle))
STUB_FUNCTION(QXDFU_GetImagePropertyUint, (uint32_t imageHandle, uint32_t propertyId, uint32_t* value))
STUB_FUNCTION(QXDFU_GetImagePropertyUint64, (uint32_t imageHandle, uint32_t propertyId, uint64_t* value))
STUB_FUNCTION(QXDFU_GetImagePropertyString, (uint32_t imageHandle, uint32_t propertyId, void* buffer,
                                             uint32_t maxItems))
STUB_FUNCTION(QXDFU_RegisterDeviceChangeCallback, (const char* filter, void* callback, void* context,
                                                   uint32_t* notificationHandle))
#if !defined(STUB_OMIT_LAST_EXPORT)
STUB_FUNCTION(QXDFU_UnregisterDeviceChangeCallback, (uint32_t notificationHandle))
#endif
