// Windows system error numbers that the library handles by value. One definition for every
// layer: the transport, the device listing and the engine compare results against these.
#pragma once

#include <cstdint>

namespace plendrik {

constexpr uint32_t kQXErrorSuccess = 0;
constexpr uint32_t kQXErrorFileNotFound = 2;
constexpr uint32_t kQXErrorAccessDenied = 5;
constexpr uint32_t kQXErrorInvalidHandle = 6;
constexpr uint32_t kQXErrorNotEnoughMemory = 8;
constexpr uint32_t kQXErrorInvalidData = 13;
constexpr uint32_t kQXErrorNotSupported = 50;
constexpr uint32_t kQXErrorGenFailure = 31;
constexpr uint32_t kQXErrorInvalidParameter = 87;
constexpr uint32_t kQXErrorSemTimeout = 121;
constexpr uint32_t kQXErrorInsufficientBuffer = 122;
constexpr uint32_t kQXErrorAlreadyExists = 183;
constexpr uint32_t kQXErrorWaitTimeout = 258;
constexpr uint32_t kQXErrorNoMoreItems = 259;
constexpr uint32_t kQXErrorOperationAborted = 995;
constexpr uint32_t kQXErrorIoIncomplete = 996;
constexpr uint32_t kQXErrorIoPending = 997;
constexpr uint32_t kQXErrorDeviceNotConnected = 1167;
constexpr uint32_t kQXErrorNotFound = 1168;
constexpr uint32_t kQXErrorTimeout = 1460;
constexpr uint32_t kQXErrorInvalidUserBuffer = 1784;
// SetupAPI's own error numbers.
constexpr uint32_t kQXErrorInvalidRegProperty = 0xE0000209;
constexpr uint32_t kQXErrorNoSuchDevinst = 0xE000020B;

}  // namespace plendrik
