// Ends the test program when one test runs far longer than any test should, naming the test,
// so that a hang fails within seconds instead of at the whole run's time-out. Every test gets
// kTestLimitSeconds (several times the slowest test's usual run), multiplied by
// FB_TEST_TIME_SCALE when that is set (slower builds: ThreadSanitizer) and by
// kPlatformScale under Wine; the exit after the last test gets the same limit.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr double kTestLimitSeconds = 15.0;
#if defined(_WIN32)
constexpr double kPlatformScale = 4.0;  // the windows tests run under Wine
#else
constexpr double kPlatformScale = 1.0;
#endif

double LimitSeconds() {
  double scale = kPlatformScale;
  if (const char* text = std::getenv("FB_TEST_TIME_SCALE")) {
    const double factor = std::atof(text);
    if (factor > 0) {
      scale *= factor;
    }
  }
  return kTestLimitSeconds * scale;
}

// The watch runs on a thread of its own that is never joined, and its state is never freed,
// so that it also watches the static teardown after the last test.
struct WatchState {
  std::mutex mutex;
  std::condition_variable changed;
  std::chrono::duration<double> limit{LimitSeconds()};
  std::string what;
  std::chrono::steady_clock::time_point deadline{};
  bool armed = false;

  void Arm(std::string name) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      what = std::move(name);
      deadline =
          std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(limit);
      armed = true;
    }
    changed.notify_all();
  }
  void Disarm() {
    std::lock_guard<std::mutex> lock(mutex);
    armed = false;
  }
  void Run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      if (!armed) {
        changed.wait(lock);
        continue;
      }
      const auto until = deadline;
      if (changed.wait_until(lock, until) == std::cv_status::timeout && armed && deadline == until) {
        std::fprintf(stderr, "\n[  TIMEOUT ] %s ran longer than %.0f s: the test program ends here\n", what.c_str(),
                     limit.count());
        std::fflush(stderr);
        std::fflush(stdout);
        std::_Exit(124);
      }
    }
  }
};

WatchState* gWatch = nullptr;

class TestWatchdog : public testing::EmptyTestEventListener {
 public:
  void OnTestStart(const testing::TestInfo& info) override {
    gWatch->Arm(std::string(info.test_suite_name()) + "." + info.name());
  }
  void OnTestEnd(const testing::TestInfo&) override { gWatch->Disarm(); }
  // The exit after the last test (static teardown, the library's unload) is watched as well.
  void OnTestProgramEnd(const testing::UnitTest&) override { gWatch->Arm("the test program's exit"); }
};

// Installed before main runs; gtest owns the listener.
struct TestWatchdogInstaller {
  TestWatchdogInstaller() {
    gWatch = new WatchState();
    std::thread([] { gWatch->Run(); }).detach();
    testing::UnitTest::GetInstance()->listeners().Append(new TestWatchdog());
  }
};
const TestWatchdogInstaller gTestWatchdogInstaller;

}  // namespace
