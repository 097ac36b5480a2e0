#include <mutex>

#include "os/QXImmortal.h"

#include "QXEtwProvider.h"

namespace plendrik {

void QXEtwWriteStringPlatform(uint64_t registrationHandle, const QXEtwEventDescriptor& descriptor, const char* text);

namespace {
// Never destroyed: static destructors still log while the module unloads.
std::mutex& ObserverLock() {
  return QXImmortal<std::mutex>();
}
std::function<void(const QXEtwEventDescriptor&, const char*)>& Observer() {
  return QXImmortal<std::function<void(const QXEtwEventDescriptor&, const char*)>>();
}
}  // namespace

void QXEtwSetObserver(std::function<void(const QXEtwEventDescriptor&, const char*)> observer) {
  std::lock_guard<std::mutex> guard(ObserverLock());
  Observer() = std::move(observer);
}

void QXEtwWriteString(uint64_t registrationHandle, const QXEtwEventDescriptor& descriptor, const char* text) {
  {
    std::lock_guard<std::mutex> guard(ObserverLock());
    if (Observer()) {
      Observer()(descriptor, text);
    }
  }
  QXEtwWriteStringPlatform(registrationHandle, descriptor, text);
}

}  // namespace plendrik
