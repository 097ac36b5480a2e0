// The recorder under concurrent callers: two devices upgraded at the same time from two
// threads while the session is recorded, and listings made meanwhile. Each device's download
// keeps its own block offsets. (The suite's name ends in Threads so the ThreadSanitizer run
// picks it up.)
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "record/SessionRecordingFixture.h"

namespace plendrik {
namespace {

class SessionRecordingThreads : public SessionRecordingTest {};

TEST_F(SessionRecordingThreads, TwoDevicesUpgradedInParallelKeepTheirOwnOffsets) {
  ReadConfiguration("File=session.jsonl\r\n");
  sim::SimDfuDeviceConfig first = Config("PAR0001", 0x5A31, 0x5A32);
  sim::SimDfuDeviceConfig second = Config("PAR0002", 0x5A41, 0x5A42);
  for (sim::SimDfuDeviceConfig* config : {&first, &second}) {
    config->wTransferSize = 1024;
    config->flashWritePerBlock = std::chrono::milliseconds(1);
  }
  const sim::SimDfuDevicePtr a = Plug(first);
  const sim::SimDfuDevicePtr b = Plug(second);
  const fbimg::Bytes imageA = fbimg::Filler(20000, 1);
  const fbimg::Bytes imageB = fbimg::Filler(13000, 2);
  std::atomic<bool> done{false};
  std::thread lister([&] {
    while (!done) {
      uint32_t enumeration = 0;
      uint32_t count = 0;
      if (QXDFU_EnumerateUsbDfuDevices(Filter(0x5A31).c_str(), &enumeration, &count, 0, 0, 0) == QXSTATUS_SUCCESS) {
        QXDFU_CloseEnumeration(enumeration);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  std::thread upgradeA([&] { EXPECT_EQ(Upgrade(imageA, 0, 0x5A31, 0x5A32).state, QXDFU_UPGRADE_STATE_FINISHED); });
  std::thread upgradeB([&] { EXPECT_EQ(Upgrade(imageB, 0, 0x5A41, 0x5A42).state, QXDFU_UPGRADE_STATE_FINISHED); });
  upgradeA.join();
  upgradeB.join();
  done = true;
  lister.join();
  EXPECT_EQ(a->Firmware(0), imageA);
  EXPECT_EQ(b->Firmware(0), imageB);
  QXStopSessionRecording();

  const fbtest::RecordingFile file(RecordingPath());
  EXPECT_EQ(file.OfType("image").size(), 2u);
  std::map<std::string, size_t> sizes;
  for (const fbtest::JsonValue& arrival : file.OfType("arrival")) {
    const std::string& instance = arrival["node"]["instance"].Str();
    sizes[arrival["device"].Str()] = instance.find("5A3") != std::string::npos ? imageA.size() : imageB.size();
  }
  size_t devicesWithBlocks = 0;
  for (const auto& [device, size] : sizes) {
    size_t offset = 0;
    for (const fbtest::JsonValue& block : DnloadBlocks(file, device)) {
      EXPECT_EQ(static_cast<size_t>(block["offset"].Int()), offset) << device;
      offset += static_cast<size_t>(block["out_len"].Int());
    }
    if (offset != 0) {
      ++devicesWithBlocks;
      EXPECT_EQ(offset, size) << device;
    }
  }
  EXPECT_EQ(devicesWithBlocks, 2u);
}

}  // namespace
}  // namespace plendrik
