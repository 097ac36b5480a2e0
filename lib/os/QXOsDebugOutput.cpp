#include <mutex>

#include "os/QXImmortal.h"

#include "QXOsSystem.h"

namespace plendrik {

void QXOsOutputDebugStringPlatform(const char* text);

namespace {
// Never destroyed: static destructors still log while the module unloads.
std::mutex& ObserverLock() {
  return QXImmortal<std::mutex>();
}
std::function<void(const char*)>& Observer() {
  return QXImmortal<std::function<void(const char*)>>();
}
}  // namespace

void QXOsSetDebugOutputObserver(std::function<void(const char*)> observer) {
  std::lock_guard<std::mutex> guard(ObserverLock());
  Observer() = std::move(observer);
}

void QXOsOutputDebugString(const char* text) {
  {
    std::lock_guard<std::mutex> guard(ObserverLock());
    if (Observer()) {
      Observer()(text);
    }
  }
  QXOsOutputDebugStringPlatform(text);
}

}  // namespace plendrik
