// A table that hands out 32-bit handles for objects: (sequence << IndexBits) | slot index.
// Look-up is constant time; a stale handle (slot reused under a newer sequence) or a handle of
// another table is not found. Freed slots are reused last-in first-out.
#pragma once

#include <cstdint>
#include <vector>

#include "diag/QXLog.h"
#include "os/QXOsMutex.h"

namespace plendrik {

template <class SharedPtr, class Mutex, class Handle, unsigned IndexBits>
class QXHandleBasedMapT {
 public:
  static constexpr uint64_t kMaxSlots = uint64_t{1} << IndexBits;
  static constexpr Handle kIndexMask = static_cast<Handle>(kMaxSlots - 1);

  QXHandleBasedMapT() = default;
  QXHandleBasedMapT(const QXHandleBasedMapT&) = delete;
  QXHandleBasedMapT& operator=(const QXHandleBasedMapT&) = delete;

  ~QXHandleBasedMapT() {
    if (mObjectCount != 0) {
      QX_LOG_WARN("There are {} handles left", mObjectCount);
    }
    // Objects are released outside the lock: a destructor may log or take its own locks.
    std::vector<Slot> slots;
    {
      QXOsLockGuard guard(mLock);
      slots.swap(mSlots);
      mObjectCount = 0;
    }
    slots.clear();
  }

  // The handle of the stored object, or 0 when the table cannot take it.
  Handle AddObject(const SharedPtr& object) {
    QXOsLockGuard guard(mLock);
    const bool freeSlot = mFreeHead < mSlots.size();
    if (!freeSlot && mSlots.size() >= kMaxSlots) {
      return 0;
    }
    do {
      ++mSequence;
    } while ((mSequence & kIndexMask16()) == 0);
    const Handle index = static_cast<Handle>(mFreeHead & kIndexMask);
    const Handle handle = static_cast<Handle>((static_cast<Handle>(mSequence & kIndexMask16()) << IndexBits) | index);
    if (!freeSlot) {
      mSlots.push_back(Slot{object, handle, 0});
      mFreeHead = static_cast<uint32_t>(mSlots.size());
    } else {
      Slot& slot = mSlots[mFreeHead];
      slot.handle = handle;
      slot.object = object;
      mFreeHead = slot.nextFree;
    }
    ++mObjectCount;
    return handle;
  }

  // The object with an added reference, or an empty pointer.
  SharedPtr GetObject(Handle handle) {
    QXOsLockGuard guard(mLock);
    const Slot* slot = Find(handle);
    return slot != nullptr ? slot->object : SharedPtr();
  }

  // Takes the table's reference out; empty when not found.
  SharedPtr RemoveObject(Handle handle) {
    SharedPtr object;
    QXOsLockGuard guard(mLock);
    Slot* slot = Find(handle);
    if (slot == nullptr) {
      return object;
    }
    object = std::move(slot->object);
    slot->object = SharedPtr();
    slot->handle = 0;
    slot->nextFree = mFreeHead;
    mFreeHead = static_cast<uint32_t>(handle & kIndexMask);
    --mObjectCount;
    return object;
  }

  // Takes every object out of the table; the caller releases them outside the lock.
  std::vector<SharedPtr> RemoveAllObjects() {
    std::vector<SharedPtr> objects;
    QXOsLockGuard guard(mLock);
    for (size_t index = 0; index < mSlots.size(); ++index) {
      Slot& slot = mSlots[index];
      if (slot.handle == 0) {
        continue;
      }
      objects.push_back(std::move(slot.object));
      slot.object = SharedPtr();
      slot.handle = 0;
      slot.nextFree = mFreeHead;
      mFreeHead = static_cast<uint32_t>(index);
      --mObjectCount;
    }
    return objects;
  }

  uint64_t GetObjectCount() {
    QXOsLockGuard guard(mLock);
    return mObjectCount;
  }
  uint64_t GetSlotCount() {
    QXOsLockGuard guard(mLock);
    return mSlots.size();
  }

 private:
  struct Slot {
    SharedPtr object;
    Handle handle;
    uint32_t nextFree;
  };

  // Sequence numbers live in the bits above the index.
  static constexpr uint32_t kIndexMask16() { return (uint32_t{1} << (32 - IndexBits)) - 1; }

  Slot* Find(Handle handle) {
    if (handle == 0) {
      return nullptr;
    }
    const size_t index = handle & kIndexMask;
    if (index >= mSlots.size() || mSlots[index].handle != handle) {
      return nullptr;
    }
    return &mSlots[index];
  }

  std::vector<Slot> mSlots;
  uint64_t mObjectCount = 0;
  uint32_t mFreeHead = 0;
  uint32_t mSequence = 0;
  Mutex mLock;
};

}  // namespace plendrik
