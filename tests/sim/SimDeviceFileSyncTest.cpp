// Reloading simulated devices: a new list of descriptions is compared with the devices an
// earlier load attached, and only the differences reach the bus; on the host the library
// watches the device file and applies its changes while it runs.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "api/DfuApi.h"
#include "sim/SimDeviceFile.h"
#include "sim/VirtualUsbBus.h"
#include "support/TempDir.h"
#include "usb/QXSimulationConfig.h"

namespace plendrik::sim {
namespace {

using namespace std::chrono_literals;

// Records the bus's events as "+path" and "-path".
class EventLog {
 public:
  EventLog() {
    mObserver = VirtualUsbBus::Instance().AddObserver([this](const SimBusEvent& event) {
      std::lock_guard<std::mutex> lock(mMutex);
      const std::string path(event.entry.interfacePath.begin(), event.entry.interfacePath.end());
      // "\\?\usb#vid_1209&pid_0001#sn#{guid}" is recorded as "vid_1209&pid_0001#sn".
      const std::string shown = path.substr(8, path.rfind('#') - 8);
      mEvents.push_back((event.kind == SimBusEventKind::Arrival ? "+" : "-") + shown);
    });
  }
  ~EventLog() { VirtualUsbBus::Instance().RemoveObserver(mObserver); }
  std::vector<std::string> Take() {
    VirtualUsbBus::Instance().WaitIdle();
    std::lock_guard<std::mutex> lock(mMutex);
    return std::exchange(mEvents, {});
  }

 private:
  std::mutex mMutex;
  std::vector<std::string> mEvents;
  uint64_t mObserver = 0;
};

SimDeviceSpec Spec(uint16_t pid, const char* serial) {
  SimDeviceSpec spec;
  spec.productId = pid;
  spec.iSerialNumber = 1;
  spec.strings[1] = SimWiden(serial);
  return spec;
}

class SimDeviceFileSync : public ::testing::Test {
 protected:
  void SetUp() override { VirtualUsbBus::Instance().DetachAll(); }
  void TearDown() override { VirtualUsbBus::Instance().DetachAll(); }
};

TEST_F(SimDeviceFileSync, OnlyDevicesWhoseDescriptionChangedLeaveAndArrive) {
  EventLog events;
  std::vector<FileAttached> attached;
  SyncFileDevices(attached, {Spec(1, "AAAA"), Spec(2, "BBBB")});
  EXPECT_EQ(events.Take(), (std::vector<std::string>{"+vid_1209&pid_0001#aaaa", "+vid_1209&pid_0002#bbbb"}));
  const uint64_t firstId = attached[0].deviceId;

  // Same list: nothing happens.
  SyncFileDevices(attached, {Spec(1, "AAAA"), Spec(2, "BBBB")});
  EXPECT_TRUE(events.Take().empty());

  // The second device's product string changes: it leaves and arrives; the first stays.
  SimDeviceSpec changed = Spec(2, "BBBB");
  changed.strings[2] = SimWiden("renamed");
  changed.iProduct = 2;
  SyncFileDevices(attached, {Spec(1, "AAAA"), changed});
  EXPECT_EQ(events.Take(), (std::vector<std::string>{"-vid_1209&pid_0002#bbbb", "+vid_1209&pid_0002#bbbb"}));
  ASSERT_EQ(attached.size(), 2u);
  EXPECT_EQ(attached[0].deviceId, firstId);
  EXPECT_NE(VirtualUsbBus::Instance().FindDevice(firstId), nullptr);

  // A device that disappears from the list leaves; one that is new arrives.
  SyncFileDevices(attached, {changed, Spec(3, "CCCC")});
  EXPECT_EQ(events.Take(), (std::vector<std::string>{"-vid_1209&pid_0001#aaaa", "+vid_1209&pid_0003#cccc"}));

  // A device unplugged behind the file's back comes back when the file is applied again.
  VirtualUsbBus::Instance().Detach(attached[1].deviceId);
  events.Take();
  SyncFileDevices(attached, {changed, Spec(3, "CCCC")});
  EXPECT_EQ(events.Take(), (std::vector<std::string>{"+vid_1209&pid_0003#cccc"}));

  SyncFileDevices(attached, {});
  EXPECT_EQ(events.Take().size(), 2u);
  EXPECT_TRUE(attached.empty());
  EXPECT_TRUE(VirtualUsbBus::Instance().ListAllDevices().empty());
}

// Reloading the file keeps every device whose section is unchanged, whatever else changes:
// the same bus device, its received-firmware file untouched; only a changed section is
// plugged in anew (and its old received firmware removed).
TEST_F(SimDeviceFileSync, ReloadKeepsDevicesWhoseSectionIsUnchanged) {
  fbtest::TempDir dir;
  const std::string dfu = "[Device]\nModel = dfu\nSerialNumber = K1\nReceivedFirmwareFile = k1.bin\n";
  const std::string plain = "[Device]\nserialnumber = P1\n";
  const std::string other =
      "[Device]\nModel = dfu\nSerialNumber = K2\nProductId = 0x0003\n"
      "ReceivedFirmwareFile = k2.bin\n";
  const QXWString path = fbtest::ToQXWString(dir.File("devices.ini"));
  SimGuid guid;
  SimGuid::Parse(std::string_view("{6E45736A-2B1B-4078-B772-B3AF2B6FDE1C}"), guid);
  auto load = [&](const std::string& text) {
    fbtest::WriteFileBytes(dir.File("devices.ini"), text);
    const SimDeviceFileResult result = LoadSimDeviceFile(path, guid);
    ASSERT_TRUE(result.ok) << result.error;
  };
  auto ids = [] {
    std::map<std::string, uint64_t> byPath;
    for (const auto& entry : VirtualUsbBus::Instance().ListAllDevices()) {
      byPath[std::string(entry.interfacePath.begin(), entry.interfacePath.end())] = entry.deviceId;
    }
    return byPath;
  };
  load(dfu + plain);
  const auto before = ids();
  ASSERT_EQ(before.size(), 2u);
  // Stands for the firmware the device received before the edit.
  fbtest::WriteFileBytes(dir.File("k1.bin"), "firmware");
  fbtest::WriteFileBytes(dir.File("k2.bin"), "stale");

  EventLog events;
  // A device inserted in front, the other sections reordered and their keys in other case
  // and order: nothing of the two leaves.
  load(other + "[Device]\nSerialNumber = P1\n" +
       "[Device]\nreceivedfirmwarefile = k1.bin\nSerialNumber = K1\n"
       "MODEL = dfu\n");
  EXPECT_EQ(events.Take(), (std::vector<std::string>{"+vid_1209&pid_0003#k2"}));
  const auto after = ids();
  for (const auto& [interfacePath, id] : before) {
    ASSERT_EQ(after.count(interfacePath), 1u) << interfacePath;
    EXPECT_EQ(after.at(interfacePath), id) << interfacePath;
  }
  EXPECT_TRUE(std::filesystem::exists(dir.File("k1.bin")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("k2.bin")));

  // A changed section leaves and arrives again, and starts without received firmware.
  load(other + plain + dfu + "Product = renamed\n");
  EXPECT_EQ(events.Take(), (std::vector<std::string>{"-vid_1209&pid_0001#k1", "+vid_1209&pid_0001#k1"}));
  EXPECT_FALSE(std::filesystem::exists(dir.File("k1.bin")));
  load("");
  EXPECT_TRUE(VirtualUsbBus::Instance().ListAllDevices().empty());
}

#if !defined(_WIN32)
// The library's watch of its device file: edits reach the bus within about a second.
class SimDeviceFileWatchThreads : public SimDeviceFileSync {
 protected:
  void TearDown() override {
    QXStopSimulatedDeviceWatch();
    gDfuApi.SetDriverInterfaceGuid(mSavedGuid);
    SimDeviceFileSync::TearDown();
  }
  // Waits until the bus lists exactly count devices.
  bool WaitForDeviceCount(size_t count, std::chrono::milliseconds timeout = 3s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (VirtualUsbBus::Instance().ListAllDevices().size() == count) {
        return true;
      }
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  fbtest::TempDir mDir;
  std::string mSavedGuid = gDfuApi.GetDriverInterfaceGuid();
};

TEST_F(SimDeviceFileWatchThreads, EditingTheDeviceFilePlugsAndUnplugsDevices) {
  const std::string device = "[Device]\nProductId = 0x0001\nSerialNumber = W1\nContainerId = none\n";
  const std::string other = "[Device 2]\nProductId = 0x0002\nSerialNumber = W2\nContainerId = none\n";
  fbtest::WriteFileBytes(mDir.File("devices.ini"), device);
  fbtest::WriteFileBytes(mDir.File("watch.config.ini"),
                         "[DriverInterface]\nInterfaceGUID = {6E45736A-2B1B-4078-B772-B3AF2B6FDE1C}\n"
                         "[Simulation]\nDeviceFile = devices.ini\n");
  ASSERT_EQ(gDfuApi.ReadConfigFile(fbtest::ToQXWString(mDir.File("watch.config.ini"))), QXSTATUS_SUCCESS);
  ASSERT_TRUE(WaitForDeviceCount(1, 0ms + 1ms));
  const uint64_t firstId = VirtualUsbBus::Instance().ListAllDevices()[0].deviceId;
  EventLog events;

  fbtest::WriteFileBytes(mDir.File("devices.ini"), device + other);
  ASSERT_TRUE(WaitForDeviceCount(2));
  EXPECT_EQ(events.Take(), (std::vector<std::string>{"+vid_1209&pid_0002#w2"}));
  // The unchanged device stayed the same device.
  EXPECT_NE(VirtualUsbBus::Instance().FindDevice(firstId), nullptr);

  // A broken file changes nothing.
  fbtest::WriteFileBytes(mDir.File("devices.ini"), "[Device]\nColour = red\n");
  std::this_thread::sleep_for(700ms);
  EXPECT_EQ(VirtualUsbBus::Instance().ListAllDevices().size(), 2u);

  fbtest::WriteFileBytes(mDir.File("devices.ini"), other);
  ASSERT_TRUE(WaitForDeviceCount(1));
  EXPECT_EQ(events.Take(), (std::vector<std::string>{"-vid_1209&pid_0001#w1"}));

  // After the watch ends, edits are no longer applied.
  QXStopSimulatedDeviceWatch();
  fbtest::WriteFileBytes(mDir.File("devices.ini"), "");
  std::this_thread::sleep_for(700ms);
  EXPECT_EQ(VirtualUsbBus::Instance().ListAllDevices().size(), 1u);
}
#endif

}  // namespace
}  // namespace plendrik::sim
