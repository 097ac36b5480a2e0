// Intrusive reference counting: objects carry their own atomic count, and the pointer that
// drops the last reference destroys the object on whatever thread that happens.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace plendrik {

class QXRefCounted {
 public:
  QXRefCounted() = default;
  QXRefCounted(const QXRefCounted&) = delete;
  QXRefCounted& operator=(const QXRefCounted&) = delete;

  void AddRef() const { mRefCount.fetch_add(1, std::memory_order_relaxed); }
  void Release() const {
    if (mRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete this;
    }
  }
  uint32_t GetRefCount() const { return mRefCount.load(std::memory_order_acquire); }

 protected:
  virtual ~QXRefCounted() = default;

 private:
  mutable std::atomic<uint32_t> mRefCount{0};
};

template <class T>
class QXIntrusiveSharedPtrT {
 public:
  QXIntrusiveSharedPtrT() = default;
  // Takes a new reference to object (which may be null).
  explicit QXIntrusiveSharedPtrT(T* object) : mObject(object) {
    if (mObject != nullptr) {
      mObject->AddRef();
    }
  }
  QXIntrusiveSharedPtrT(const QXIntrusiveSharedPtrT& other) : QXIntrusiveSharedPtrT(other.mObject) {}
  QXIntrusiveSharedPtrT(QXIntrusiveSharedPtrT&& other) noexcept : mObject(std::exchange(other.mObject, nullptr)) {}
  template <class U>
  QXIntrusiveSharedPtrT(const QXIntrusiveSharedPtrT<U>& other) : QXIntrusiveSharedPtrT(other.Get()) {}
  ~QXIntrusiveSharedPtrT() { Reset(); }

  QXIntrusiveSharedPtrT& operator=(QXIntrusiveSharedPtrT other) noexcept {
    std::swap(mObject, other.mObject);
    return *this;
  }

  void Reset() {
    if (T* object = std::exchange(mObject, nullptr)) {
      object->Release();
    }
  }
  T* Get() const { return mObject; }
  T* operator->() const { return mObject; }
  T& operator*() const { return *mObject; }
  explicit operator bool() const { return mObject != nullptr; }

 private:
  T* mObject = nullptr;
};

// Creates an object with its first reference.
template <class T, class... A>
QXIntrusiveSharedPtrT<T> QXMakeShared(A&&... args) {
  return QXIntrusiveSharedPtrT<T>(new T(std::forward<A>(args)...));
}

}  // namespace plendrik
