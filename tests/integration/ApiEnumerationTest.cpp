// The enumeration exports of the loaded library. Devices come from the platform: on the host
// a simulated device file named by the library's configuration, under Wine devices
// registered in Wine's SetupAPI, which the library lists through the real SetupAPI.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "LibraryLoader.h"
#include "discovery/EnumerationWineRegistry.h"
#include "flashbridge.h"
#include "support/RecordingFile.h"
#include "support/TempDir.h"

namespace {

using EnumerateFn = QXSTATUS (*)(const char*, uint32_t*, uint32_t*, uint32_t, uint32_t, uint32_t);
using CloseFn = QXSTATUS (*)(uint32_t);

const char* kGuid = "{3C1E5F0A-7B2D-4E6F-9A8B-0C1D2E3F4A5B}";

struct TestDevice {
  uint16_t vid;
  uint16_t pid;
  uint16_t bcd;
  const char* serial;
  bool revision = true;
};

std::filesystem::path ConfigPath() { return fbtest::LibraryLoader::LibraryPath() + ".config.ini"; }
std::filesystem::path LoggingPath() { return fbtest::LibraryLoader::LibraryPath() + ".logging.ini"; }

std::string Hex4(unsigned v) {
  char text[8];
  snprintf(text, sizeof(text), "%04X", v);
  return text;
}

class ApiEnumeration : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(_WIN32)
    if (!fbtest::RunningUnderWine()) {
      GTEST_SKIP() << "devices are registered only under Wine";
    }
    mRegistry = std::make_unique<fbtest::WineDeviceRegistry>(std::wstring(kGuid, kGuid + strlen(kGuid)));
#endif
    fbtest::WriteFileBytes(LoggingPath(), "[Target.LogFile]\r\nLogFile=" + mDir.File("enum.log").string() +
                                              "\r\nFlushAfterWrite=1\r\n[Logger.Global]\r\nLogLevel=4\r\n");
  }
  void TearDown() override {
    mLib.Unload();
    std::filesystem::remove(ConfigPath());
    std::filesystem::remove(LoggingPath());
#if defined(_WIN32)
    mRegistry.reset();
#endif
  }

  // Makes the devices known to the platform, before or (Wine only) after loading.
  void AddDevices(const std::vector<TestDevice>& devices) {
#if defined(_WIN32)
    for (const TestDevice& d : devices) {
      fbtest::WineDeviceRegistry::Device device;
      const std::string id = "USB\\VID_" + Hex4(d.vid) + "&PID_" + Hex4(d.pid);
      device.instanceId = Widen(id + "\\" + d.serial);
      device.hardwareIds = {Widen(d.revision ? id + "&REV_" + Hex4(d.bcd) : id), Widen(id)};
      const std::string error = mRegistry->Add(device);
      ASSERT_TRUE(error.empty()) << error;
    }
#else
    std::string text;
    for (const TestDevice& d : devices) {
      text += "[Device]\nVendorId = 0x" + Hex4(d.vid) + "\nProductId = 0x" + Hex4(d.pid) + "\nBcdDevice = 0x" +
              Hex4(d.bcd) + "\nSerialNumber = " + d.serial + "\nRevisionInHardwareId = " + (d.revision ? "yes" : "no") +
              "\n";
    }
    fbtest::WriteFileBytes(mDir.File("devices.ini"), text);
#endif
  }

  void Load(bool withConfig = true) {
    if (withConfig) {
      std::string config = std::string("[DriverInterface]\r\nInterfaceGUID=") + kGuid + "\r\n";
#if !defined(_WIN32)
      config += "[Simulation]\r\nDeviceFile=" + mDir.File("devices.ini").string() + "\r\n";
#endif
      fbtest::WriteFileBytes(ConfigPath(), config + mExtraConfig);
    } else {
      std::filesystem::remove(ConfigPath());
    }
    ASSERT_TRUE(mLib.Load());
    mEnumerate = mLib.Resolve<EnumerateFn>("QXDFU_EnumerateUsbDfuDevices");
    mClose = mLib.Resolve<CloseFn>("QXDFU_CloseEnumeration");
    ASSERT_NE(mEnumerate, nullptr);
    ASSERT_NE(mClose, nullptr);
  }

  // Enumerates and closes; returns the count, or -1 on failure.
  int CountDevices(const char* filter) {
    uint32_t handle = 0, count = 0;
    if (mEnumerate(filter, &handle, &count, 0, 0, 0) != QXSTATUS_SUCCESS) {
      return -1;
    }
    EXPECT_EQ(mClose(handle), QXSTATUS_SUCCESS);
    return static_cast<int>(count);
  }

  std::string LogText() { return fbtest::ReadFileBytes(mDir.File("enum.log")); }

  static std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

  fbtest::TempDir mDir;
  std::string mExtraConfig;  // more sections of the configuration file
  fbtest::LibraryLoader mLib;
  EnumerateFn mEnumerate = nullptr;
  CloseFn mClose = nullptr;
#if defined(_WIN32)
  std::unique_ptr<fbtest::WineDeviceRegistry> mRegistry;
#endif
};

TEST_F(ApiEnumeration, NoDeviceIsSuccessWithCountZeroAndAValidHandle) {
  AddDevices({});
  Load();
  uint32_t handle = 0, count = 99;
  ASSERT_EQ(mEnumerate("VID=0x1209, PID=0x0001", &handle, &count, 0, 0, 0), QXSTATUS_SUCCESS);
  EXPECT_EQ(count, 0u);
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(mClose(handle), QXSTATUS_SUCCESS);
  EXPECT_EQ(mClose(handle), QXSTATUS_INVALID_HANDLE);
  EXPECT_EQ(mClose(0), QXSTATUS_INVALID_HANDLE);
}

TEST_F(ApiEnumeration, FiltersSelectByVendorProductAndReleaseRange) {
  AddDevices({{0x1209, 0x0001, 0x0100, "A"},
              {0x1209, 0x0001, 0x0250, "B"},
              {0x1209, 0x0002, 0x0100, "C"},
              {0x4321, 0x0001, 0x0100, "D"},
              {0x1209, 0x0001, 0x0100, "NOREV", false}});
  Load();
  EXPECT_EQ(CountDevices("VID=0x1209, PID=0x0001"), 2);  // NOREV is dropped
  EXPECT_EQ(CountDevices("VID=0x1209, PID=0x0002\nVID=0x4321, PID=0x0001"), 2);
  EXPECT_EQ(CountDevices("VID=0x1209, PID=0x0001, MIN_BCDDEVICE=0x0200"), 1);
  EXPECT_EQ(CountDevices("VID=0x1209, PID=0x0001, MAX_BCDDEVICE=0x0100"), 1);
  EXPECT_EQ(CountDevices("VID=0x1209, PID=0x0003"), 0);
  uint32_t handle = 5, count = 5;
  EXPECT_EQ(mEnumerate("VID=0x1209", &handle, &count, 0, 0, 0), QXSTATUS_INVALID_FORMAT);
  EXPECT_EQ(handle, 0u);
}

TEST_F(ApiEnumeration, RetriesWaitAndWarnWhenTheDelayIsZero) {
  AddDevices({});
  Load();
  uint32_t handle = 0, count = 0;
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(mEnumerate("VID=0x1209, PID=0x0001", &handle, &count, 3, 40, 0), QXSTATUS_SUCCESS);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(120));
  EXPECT_EQ(mClose(handle), QXSTATUS_SUCCESS);

  ASSERT_EQ(mEnumerate("VID=0x1209, PID=0x0001", &handle, &count, 2, 0, 0), QXSTATUS_SUCCESS);
  EXPECT_EQ(mClose(handle), QXSTATUS_SUCCESS);
  const std::string log = LogText();
  const std::string warn = "WARN: plendrik::DfuEnumerator::EnumerateDevices: retryDelay is zero but retryCount (";
  EXPECT_NE(log.find(warn + "2) is greater zero"), std::string::npos) << log;
  EXPECT_NE(log.find(warn + "1) is greater zero"), std::string::npos) << log;
  EXPECT_EQ(log.find(warn + "0)"), std::string::npos) << log;
}

#if defined(_WIN32)
TEST_F(ApiEnumeration, DeviceRegisteredDuringRetriesEndsTheLoop) {
  AddDevices({});
  Load();
  std::thread plug([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    AddDevices({{0x1209, 0x0007, 0x0100, "LATE"}});
  });
  uint32_t handle = 0, count = 0;
  const QXSTATUS st = mEnumerate("VID=0x1209, PID=0x0007", &handle, &count, 300, 10, 0);
  plug.join();
  ASSERT_EQ(st, QXSTATUS_SUCCESS);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(mClose(handle), QXSTATUS_SUCCESS);
}
#endif

TEST_F(ApiEnumeration, MissingConfigurationFileFailsEveryEnumeration) {
  AddDevices({{0x1209, 0x0001, 0x0100, "A"}});
  Load(false);
  uint32_t handle = 5, count = 5;
  EXPECT_EQ(mEnumerate("VID=0x1209, PID=0x0001", &handle, &count, 0, 0, 0), QXSTATUS_INVALID_CONFIGURATION);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(count, 0u);
  const std::string log = LogText();
  EXPECT_NE(log.find("ERROR: plendrik::CreateDfuDeviceFilter: No DriverInterfaceGuidString, invalid configuration"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("ERROR: plendrik::DfuApi::EnumerateUsbDfuDevices: EnumerateDevices failed, st=0xee000052"),
            std::string::npos)
      << log;
}

// The shipped library records its listings when its configuration says so: the header names
// the platform's USB stack (WinUSB on windows, where Wine's SetupAPI lists the devices; the
// configured virtual bus on the host), and each listed device arrives once with its identity.
TEST_F(ApiEnumeration, RecordingOfTheLoadedLibraryListsArrivals) {
  AddDevices({{0x1209, 0x0001, 0x0100, "REC1"}, {0x1209, 0x0002, 0x0200, "REC2"}});
  mExtraConfig = "[Recording]\r\nFile=" + mDir.File("session.jsonl").string() + "\r\n";
  Load();
  EXPECT_EQ(CountDevices("VID=0x1209, PID=0x0001\nVID=0x1209, PID=0x0002"), 2);
  EXPECT_EQ(CountDevices("VID=0x1209, PID=0x0001"), 1);
  mLib.Unload();

  const fbtest::RecordingFile file(mDir.File("session.jsonl"));
  ASSERT_FALSE(file.Records().empty());
  const fbtest::JsonValue& header = file.Records()[0];
  EXPECT_EQ(header["format"].Str(), "flashbridge-recording");
#if defined(_WIN32)
  EXPECT_EQ(header["backend"].Str(), "winusb");
#else
  EXPECT_EQ(header["backend"].Str(), "virtual-bus");
#endif
  const std::vector<fbtest::JsonValue> arrivals = file.OfType("arrival");
  ASSERT_EQ(arrivals.size(), 2u) << fbtest::ReadFileBytes(mDir.File("session.jsonl"));
  EXPECT_EQ(arrivals[0]["device"].Str(), "d1");
  EXPECT_EQ(arrivals[1]["device"].Str(), "d2");
  std::vector<std::string> instances;
  for (const fbtest::JsonValue& a : arrivals) {
    instances.push_back(a["node"]["instance"].Str());
  }
  std::sort(instances.begin(), instances.end());
  EXPECT_EQ(instances, (std::vector<std::string>{"USB\\VID_1209&PID_0001\\REC1", "USB\\VID_1209&PID_0002\\REC2"}));
  for (const fbtest::JsonValue& a : arrivals) {
    const fbtest::JsonValue& ids = a["node"]["hardware_ids"];
    ASSERT_EQ(ids.items.size(), 2u);
    EXPECT_EQ(ids.items[0].Str().rfind(ids.items[1].Str() + "&REV_0", 0), 0u) << ids.items[0].Str();
  }
  EXPECT_TRUE(file.OfType("removal").empty());
}

}  // namespace
