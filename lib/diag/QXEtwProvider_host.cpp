#include <cstring>
#include <map>
#include <mutex>

#include "os/QXImmortal.h"

#include "QXEtwProvider.h"

namespace plendrik {

// The host has no event tracing; this stand-in keeps the provider contract (registration
// handles, writes only while registered) so the target behaves as on windows.
namespace {
struct StandInState {
  std::mutex lock;
  std::map<uint64_t, QXEtwGuid> registrations;
  uint64_t nextHandle = 1;
  uint32_t failNext = 0;
};
// Never destroyed: targets unregister from their own static destructors.
StandInState& State() {
  return QXImmortal<StandInState>();
}
}  // namespace

uint32_t QXEtwRegister(const QXEtwGuid& provider, uint64_t& registrationHandle) {
  StandInState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.failNext != 0) {
    const uint32_t err = s.failNext;
    s.failNext = 0;
    registrationHandle = 0;
    return err;
  }
  registrationHandle = s.nextHandle++;
  s.registrations[registrationHandle] = provider;
  return 0;
}

void QXEtwUnregister(uint64_t registrationHandle) {
  StandInState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  s.registrations.erase(registrationHandle);
}

void QXEtwWriteStringPlatform(uint64_t, const QXEtwEventDescriptor&, const char*) {
  // No consumer exists on the host; the observer hook has already seen the event.
}

bool QXEtwStandIn::IsRegistered(const QXEtwGuid& provider) {
  StandInState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  for (const auto& entry : s.registrations) {
    if (memcmp(&entry.second, &provider, sizeof(provider)) == 0) {
      return true;
    }
  }
  return false;
}

void QXEtwStandIn::FailNextRegistration(uint32_t error) {
  StandInState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  s.failNext = error;
}

}  // namespace plendrik
