// The windows unit tests run the transport over the virtual USB bus: Wine has no USB
// devices. (On the host the bus is the platform seam already.)
#include <gtest/gtest.h>

#if defined(_WIN32)
#include "sim/SimWinusbDrvApi.h"

namespace {

class SimBusEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { plendrik::QXSetWinusbDrvApi(&plendrik::sim::SimWinusbDrvApi::Instance()); }
  void TearDown() override {
    plendrik::QXSetWinusbDrvApi(nullptr);
    // The bus's scheduler and notifier threads end with the tests.
    plendrik::sim::VirtualUsbBus::Instance().Shutdown();
  }
};

[[maybe_unused]] ::testing::Environment* const gSimBusEnvironment =
    ::testing::AddGlobalTestEnvironment(new SimBusEnvironment);

}  // namespace
#endif
