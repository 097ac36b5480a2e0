// The platform thread: the entry runs on a thread of its own whose id is reported, the wait is
// bounded and leaves a running thread alone, and a released thread leaves the process.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "os/QXOsSystem.h"
#include "os/QXOsThread.h"

#if defined(_WIN32)
#include <windows.h>
// windows.h first
#include <tlhelp32.h>
#else
#include <filesystem>
#endif

namespace plendrik {
namespace {

using namespace std::chrono_literals;

struct Probe {
  std::atomic<uint32_t> threadId{0};
  std::atomic<bool> release{false};
  std::atomic<int> runs{0};
};

void RunProbe(void* context) {
  auto* probe = static_cast<Probe*>(context);
  probe->threadId.store(QXOsGetCurrentThreadId());
  while (!probe->release.load()) {
    std::this_thread::sleep_for(1ms);
  }
  probe->runs.fetch_add(1);
}

size_t ThreadCount() {
#if defined(_WIN32)
  size_t n = 0;
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    return 0;
  }
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    n += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
  }
  CloseHandle(snapshot);
  return n;
#else
  size_t n = 0;
  for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    ++n;
  }
  return n;
#endif
}

TEST(QXOsThreadThreads, EntryRunsOnItsOwnThreadWhoseIdIsReportedAndTheWaitIsBounded) {
  Probe probe;
  QXOsThread thread;
  ASSERT_EQ(QXOsStartThread(&RunProbe, &probe, thread), QXSTATUS_SUCCESS);
  ASSERT_NE(thread.record, nullptr);
  // Known as soon as the start returns, before the entry had a chance to run.
  const uint32_t reported = QXOsGetThreadId(thread);
  EXPECT_NE(reported, 0u);
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (probe.threadId.load() == 0 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_NE(probe.threadId.load(), 0u);
  EXPECT_NE(probe.threadId.load(), QXOsGetCurrentThreadId());
  EXPECT_EQ(QXOsGetThreadId(thread), probe.threadId.load());
  EXPECT_EQ(reported, probe.threadId.load());

  // Still running: the wait gives up after its time and keeps the thread.
  const auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(QXOsWaitAndReleaseThread(thread, 50));
  EXPECT_GE(std::chrono::steady_clock::now() - before, 40ms);
  EXPECT_NE(thread.record, nullptr);
  EXPECT_EQ(probe.runs.load(), 0);

  probe.release = true;
  EXPECT_TRUE(QXOsWaitAndReleaseThread(thread, 5000));
  EXPECT_EQ(thread.record, nullptr);
  EXPECT_EQ(probe.runs.load(), 1);
  EXPECT_EQ(QXOsGetThreadId(thread), 0u);
  // An empty thread has nothing to wait for.
  EXPECT_TRUE(QXOsWaitAndReleaseThread(thread, 0));
}

TEST(QXOsThreadThreads, ThreadsThatWereReleasedLeaveTheProcess) {
  const size_t before = ThreadCount();
  for (int round = 0; round < 20; ++round) {
    Probe probe;
    probe.release = true;
    QXOsThread thread;
    ASSERT_EQ(QXOsStartThread(&RunProbe, &probe, thread), QXSTATUS_SUCCESS);
    ASSERT_TRUE(QXOsWaitAndReleaseThread(thread, 5000));
    EXPECT_EQ(probe.runs.load(), 1);
  }
  // Several at once are independent threads: each waits for its own release.
  Probe first;
  Probe second;
  QXOsThread a;
  QXOsThread b;
  ASSERT_EQ(QXOsStartThread(&RunProbe, &first, a), QXSTATUS_SUCCESS);
  ASSERT_EQ(QXOsStartThread(&RunProbe, &second, b), QXSTATUS_SUCCESS);
  second.release = true;
  EXPECT_TRUE(QXOsWaitAndReleaseThread(b, 5000));
  EXPECT_FALSE(QXOsWaitAndReleaseThread(a, 20));
  first.release = true;
  EXPECT_TRUE(QXOsWaitAndReleaseThread(a, 5000));
  EXPECT_NE(first.threadId.load(), second.threadId.load());

  // A released thread goes at once, not after some idle time of the system's.
  const auto until = std::chrono::steady_clock::now() + 2s;
  size_t now = ThreadCount();
  while (now > before && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(10ms);
    now = ThreadCount();
  }
  EXPECT_LE(now, before);
}

// A thread whose own code ends up releasing it (a teardown run on it) must not wait for
// itself: it is let go, and what is left of it goes when its entry returns.
struct SelfReleasing {
  QXOsThread thread;
  std::atomic<bool> go{false};
  std::atomic<int> isCurrent{-1};
  std::atomic<bool> ended{false};
};

void ReleaseItself(void* context) {
  auto* self = static_cast<SelfReleasing*>(context);
  while (!self->go.load()) {
    std::this_thread::sleep_for(1ms);
  }
  self->isCurrent = QXOsIsCurrentThread(self->thread) ? 1 : 0;
  QXOsDetachThread(self->thread);
  self->ended = true;
}

TEST(QXOsThreadThreads, AThreadThatReleasesItselfIsLetGoAndLeavesTheProcess) {
  const size_t before = ThreadCount();
  for (int round = 0; round < 5; ++round) {
    SelfReleasing self;
    ASSERT_EQ(QXOsStartThread(&ReleaseItself, &self, self.thread), QXSTATUS_SUCCESS);
    EXPECT_FALSE(QXOsIsCurrentThread(self.thread));
    self.go = true;
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (!self.ended.load() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(self.ended.load());
    EXPECT_EQ(self.isCurrent.load(), 1);
    EXPECT_EQ(self.thread.record, nullptr);
  }
#if !defined(_WIN32)
  // On windows the pool's thread may linger a little; on the host it leaves with its entry.
  const auto until = std::chrono::steady_clock::now() + 2s;
  while (ThreadCount() > before && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_LE(ThreadCount(), before);
#else
  (void)before;
#endif
}

}  // namespace
}  // namespace plendrik
