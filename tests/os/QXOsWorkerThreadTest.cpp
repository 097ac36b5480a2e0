// The worker thread: its states and result, the stop request, the refusal of a second thread
// before the join, and the join's wait steps.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#if !defined(_WIN32)
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "os/QXOsSystem.h"
#include "os/QXOsWorkerThread.h"
#include "support/TestLogTarget.h"

namespace plendrik {
namespace {

struct Job {
  QXOsWorkerThread* worker = nullptr;
  std::atomic<bool> sawRunning{false};
  int sleepMs = 0;
  bool untilStopped = false;
};

QXSTATUS RunJob(void* context) {
  auto* job = static_cast<Job*>(context);
  job->sawRunning = job->worker->GetThreadState() == QXOsWorkerThread::kThreadRunning;
  if (job->untilStopped) {
    while (!job->worker->IsStopRequested()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return QXSTATUS_ABORTED;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(job->sleepMs));
  return QXSTATUS_TIMEOUT;
}

TEST(QXOsWorkerThread, RunsTheRoutineAndKeepsItsResultUntilTheJoin) {
  QXOsWorkerThread worker;
  EXPECT_EQ(worker.GetThreadState(), QXOsWorkerThread::kThreadNone);
  EXPECT_EQ(worker.JoinAndDestroy(), QXSTATUS_SUCCESS) << "no thread counts as joined";
  Job job;
  job.worker = &worker;
  ASSERT_EQ(worker.CreateThread(&RunJob, &job), QXSTATUS_SUCCESS);
  while (worker.GetThreadState() != QXOsWorkerThread::kThreadEnded) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(job.sawRunning);
  EXPECT_TRUE(worker.HasThread()) << "an ended routine leaves a joinable thread";
  TestLogTarget log;
  EXPECT_EQ(worker.CreateThread(&RunJob, &job), QXSTATUS_ALREADY_DONE);
  EXPECT_TRUE(log.Contains("already created", kQXLogLevelError));
  EXPECT_EQ(worker.JoinAndDestroy(), QXSTATUS_SUCCESS);
  EXPECT_EQ(worker.GetThreadState(), QXOsWorkerThread::kThreadJoined);
  EXPECT_EQ(worker.GetResult(), QXSTATUS_TIMEOUT);
  EXPECT_FALSE(worker.HasThread());
}

TEST(QXOsWorkerThread, StopRequestReachesTheRoutineAndANewThreadStartsWithoutIt) {
  QXOsWorkerThread worker;
  Job job;
  job.worker = &worker;
  job.untilStopped = true;
  ASSERT_EQ(worker.CreateThread(&RunJob, &job), QXSTATUS_SUCCESS);
  worker.RequestStop();
  EXPECT_EQ(worker.JoinAndDestroy(), QXSTATUS_SUCCESS);
  EXPECT_EQ(worker.GetResult(), QXSTATUS_ABORTED);
  job.untilStopped = false;
  ASSERT_EQ(worker.CreateThread(&RunJob, &job), QXSTATUS_SUCCESS);
  EXPECT_FALSE(worker.IsStopRequested());
  EXPECT_EQ(worker.JoinAndDestroy(), QXSTATUS_SUCCESS);
  EXPECT_EQ(worker.GetResult(), QXSTATUS_TIMEOUT);
}

TEST(QXOsWorkerThread, JoinWaitsInSecondStepsAndWarnsAfterEach) {
  QXOsWorkerThread worker;
  Job job;
  job.worker = &worker;
  job.sleepMs = 1300;
  TestLogTarget log;
  ASSERT_EQ(worker.CreateThread(&RunJob, &job), QXSTATUS_SUCCESS);
  EXPECT_EQ(worker.JoinAndDestroy(), QXSTATUS_SUCCESS);
  EXPECT_EQ(log.Count("Waiting for thread ", kQXLogLevelWarn), 1u) << log.Dump();
  EXPECT_TRUE(log.Contains(" to terminate..."));
  EXPECT_EQ(worker.GetThreadState(), QXOsWorkerThread::kThreadJoined);
}

// The identifiers in every log line: the process's and each thread's own, also in a forked
// child (which has a new process and thread identifier although it copied what was read).
TEST(QXOsSystemIds, EachThreadAndAForkedChildHaveTheirOwn) {
  const uint32_t process = QXOsGetCurrentProcessId();
  const uint32_t thread = QXOsGetCurrentThreadId();
  EXPECT_NE(process, 0u);
  EXPECT_EQ(QXOsGetCurrentThreadId(), thread);
  uint32_t other = 0;
  uint32_t otherProcess = 0;
  std::thread([&] {
    other = QXOsGetCurrentThreadId();
    otherProcess = QXOsGetCurrentProcessId();
  }).join();
  EXPECT_NE(other, thread);
  EXPECT_NE(other, 0u);
  EXPECT_EQ(otherProcess, process);
#if !defined(_WIN32)
  EXPECT_EQ(process, static_cast<uint32_t>(getpid()));
  EXPECT_EQ(thread, static_cast<uint32_t>(syscall(SYS_gettid)));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const bool own = QXOsGetCurrentProcessId() == static_cast<uint32_t>(getpid()) &&
                     QXOsGetCurrentProcessId() != process &&
                     QXOsGetCurrentThreadId() == static_cast<uint32_t>(syscall(SYS_gettid)) &&
                     QXOsGetCurrentThreadId() != thread;
    _exit(own ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(QXOsGetCurrentProcessId(), process);
  EXPECT_EQ(QXOsGetCurrentThreadId(), thread);
#endif
}

}  // namespace
}  // namespace plendrik
