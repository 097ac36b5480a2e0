// Handle issue, look-up and retirement, slot reuse, the table limit and concurrent use.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "api/QXHandleBasedMap.h"
#include "os/QXIntrusiveSharedPtr.h"

namespace plendrik {
namespace {

std::atomic<int> gLiveObjects{0};

class Counted : public QXRefCounted {
 public:
  explicit Counted(int v) : value(v) { ++gLiveObjects; }
  int value;

 protected:
  ~Counted() override { --gLiveObjects; }
};

using Table = QXHandleBasedMapT<QXIntrusiveSharedPtrT<Counted>, QXOsThreadMutexAutoCreate, unsigned int, 16>;

TEST(QXHandleBasedMap, HandlesCarrySequenceAndSlot) {
  Table table;
  auto a = QXMakeShared<Counted>(1);
  auto b = QXMakeShared<Counted>(2);
  EXPECT_EQ(table.AddObject(a), 0x00010000u);
  const unsigned hb = table.AddObject(b);
  EXPECT_EQ(hb, 0x00020001u);
  EXPECT_TRUE(table.RemoveObject(hb));
  auto c = QXMakeShared<Counted>(3);
  const unsigned hc = table.AddObject(c);
  EXPECT_EQ(hc, 0x00030001u);
  // The closed handle stays invalid although its slot was reused.
  EXPECT_FALSE(table.GetObject(hb));
  EXPECT_EQ(table.GetObject(hc)->value, 3);
  EXPECT_FALSE(table.GetObject(0));
  EXPECT_FALSE(table.GetObject(0x00010005u));  // slot never issued
  EXPECT_FALSE(table.RemoveObject(hb));
}

TEST(QXHandleBasedMap, FreedSlotsAreReusedLastInFirstOut) {
  Table table;
  unsigned h[3];
  for (int i = 0; i < 3; ++i) {
    h[i] = table.AddObject(QXMakeShared<Counted>(i));
  }
  table.RemoveObject(h[1]);
  table.RemoveObject(h[0]);
  EXPECT_EQ(table.AddObject(QXMakeShared<Counted>(10)) & 0xFFFF, 0u);
  EXPECT_EQ(table.AddObject(QXMakeShared<Counted>(11)) & 0xFFFF, 1u);
  EXPECT_EQ(table.AddObject(QXMakeShared<Counted>(12)) & 0xFFFF, 3u);
  EXPECT_EQ(table.GetSlotCount(), 4u);
}

TEST(QXHandleBasedMap, ReferencesKeepObjectsAliveAcrossRemoval) {
  const int before = gLiveObjects;
  {
    Table table;
    unsigned h;
    {
      h = table.AddObject(QXMakeShared<Counted>(7));
    }
    auto held = table.GetObject(h);  // as an API call holds its object
    auto removed = table.RemoveObject(h);
    removed.Reset();
    EXPECT_EQ(gLiveObjects, before + 1);
    EXPECT_EQ(held->value, 7);
    held.Reset();
    EXPECT_EQ(gLiveObjects, before);
    table.AddObject(QXMakeShared<Counted>(8));
  }
  // Destroying the table releases what it still holds.
  EXPECT_EQ(gLiveObjects, before);
}

TEST(QXHandleBasedMap, FullTableReusesFreedSlotsAndNeverIssuesZero) {
  Table table;
  std::vector<unsigned> handles;
  handles.reserve(65536);
  auto object = QXMakeShared<Counted>(0);
  for (unsigned i = 0; i < 65536; ++i) {
    const unsigned h = table.AddObject(object);
    ASSERT_NE(h, 0u);
    handles.push_back(h);
  }
  // The sequence wrapped once: 65,535 sequence numbers, then 1 again, never 0.
  EXPECT_EQ(handles[65534] >> 16, 65535u);
  EXPECT_EQ(handles[65535], 0x0001FFFFu);
  EXPECT_EQ(table.AddObject(object), 0u) << "no slot free and the table is at its limit";
  // A table that reached its limit still takes objects into freed slots.
  ASSERT_TRUE(table.RemoveObject(handles[1234]));
  const unsigned h = table.AddObject(object);
  EXPECT_EQ(h & 0xFFFF, 1234u);
  EXPECT_NE(h, handles[1234]);
  EXPECT_EQ(table.GetObjectCount(), 65536u);
}

TEST(QXHandleBasedMap, ConcurrentAddLookUpRemove) {
  const int before = gLiveObjects;
  {
    Table table;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&table, &failures, t] {
        for (int i = 0; i < 2000; ++i) {
          const unsigned h = table.AddObject(QXMakeShared<Counted>(t * 100000 + i));
          auto o = table.GetObject(h);
          if (!o || o->value != t * 100000 + i || !table.RemoveObject(h) || table.GetObject(h)) {
            ++failures;
          }
        }
      });
    }
    for (auto& th : threads) {
      th.join();
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(table.GetObjectCount(), 0u);
  }
  EXPECT_EQ(gLiveObjects, before);
}

}  // namespace
}  // namespace plendrik
