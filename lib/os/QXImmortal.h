// A process-wide object built on first use in static storage and never destroyed, for state
// that static destructors still use while the module unloads.
#pragma once

#include <new>

namespace plendrik {

template <class T>
T& QXImmortal() {
  alignas(T) static unsigned char storage[sizeof(T)];
  static T* object = new (storage) T();
  return *object;
}

}  // namespace plendrik
