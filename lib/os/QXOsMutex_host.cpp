#include <mutex>
#include <new>

#include "QXOsMutex.h"

namespace plendrik {

static_assert(sizeof(std::recursive_mutex) <= 64);

QXOsThreadMutex::QXOsThreadMutex() { new (mStorage) std::recursive_mutex(); }
QXOsThreadMutex::~QXOsThreadMutex() { reinterpret_cast<std::recursive_mutex*>(mStorage)->~recursive_mutex(); }
void QXOsThreadMutex::Lock() { reinterpret_cast<std::recursive_mutex*>(mStorage)->lock(); }
void QXOsThreadMutex::Unlock() { reinterpret_cast<std::recursive_mutex*>(mStorage)->unlock(); }

}  // namespace plendrik
