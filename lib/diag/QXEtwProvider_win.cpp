#include <windows.h>
#include <evntprov.h>

#include <cstring>

#include "QXEtwProvider.h"

namespace plendrik {

uint32_t QXEtwRegister(const QXEtwGuid& provider, uint64_t& registrationHandle) {
  GUID guid;
  static_assert(sizeof(guid) == sizeof(provider));
  memcpy(&guid, &provider, sizeof(guid));
  REGHANDLE handle = 0;
  const ULONG err = EventRegister(&guid, nullptr, nullptr, &handle);
  registrationHandle = err == ERROR_SUCCESS ? handle : 0;
  return err;
}

void QXEtwUnregister(uint64_t registrationHandle) { EventUnregister(registrationHandle); }

void QXEtwWriteStringPlatform(uint64_t registrationHandle, const QXEtwEventDescriptor& d, const char* text) {
  EVENT_DESCRIPTOR descriptor;
  EventDescCreate(&descriptor, d.id, d.version, d.channel, d.level, d.task, d.opcode, d.keyword);
  EVENT_DATA_DESCRIPTOR data;
  EventDataDescCreate(&data, text, static_cast<ULONG>(strlen(text) + 1));
  EventWrite(registrationHandle, &descriptor, 1, &data);
}

bool QXEtwStandIn::IsRegistered(const QXEtwGuid&) { return false; }
void QXEtwStandIn::FailNextRegistration(uint32_t) {}

}  // namespace plendrik
