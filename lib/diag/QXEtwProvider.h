// The event tracing provider under the ETW log target: real Event Tracing for Windows on
// windows, an in-process stand-in on the host that keeps the same contract. Tests observe the
// events written on either target through an observer hook.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "os/QXOsTypes.h"

namespace plendrik {

struct QXEtwGuid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};

struct QXEtwEventDescriptor {
  uint16_t id;
  uint8_t version;
  uint8_t channel;
  uint8_t level;
  uint8_t opcode;
  uint16_t task;
  uint64_t keyword;
};

// Registers the provider; 0 or the platform's error code.
uint32_t QXEtwRegister(const QXEtwGuid& provider, uint64_t& registrationHandle);
void QXEtwUnregister(uint64_t registrationHandle);
// Writes one event whose single data item is text with its terminating NUL.
void QXEtwWriteString(uint64_t registrationHandle, const QXEtwEventDescriptor& descriptor, const char* text);

// Test hook: sees every event written, before the platform does.
void QXEtwSetObserver(std::function<void(const QXEtwEventDescriptor&, const char*)> observer);

// Host stand-in only: the registered providers' state and a way to make registration fail.
struct QXEtwStandIn {
  static bool IsRegistered(const QXEtwGuid& provider);
  static void FailNextRegistration(uint32_t error);
};

}  // namespace plendrik
