// What a session recording costs per control transfer: one transfer through the transport
// seam with recording off and on, (a) over a seam that completes at once, so the figure is
// the recorder's own work (a record formatted, written and flushed), and (b) over the virtual
// bus against a DFU device, where the transfer also waits for its completion. Kinds: a
// DFU_GETSTATUS (6 bytes in) and a 4096-byte DFU_DNLOAD block (by length and CRC-32).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <vector>

#include "BenchSupport.h"
#include "record/QXRecordingConfig.h"
#include "sim/SimWinusbDrvApi.h"
#include "usb/QXWinOverlapped.h"
#include "usb/QXWinusbDrvApi.h"

namespace {

using plendrik::QXOsHandle;
using plendrik::QXUsbSetupPacket;
using plendrik::QXWinOverlapped;
using plendrik::QXWString;

// A transport that answers every call at once and successfully.
class ImmediateSeam final : public plendrik::QXWinusbDrvApi {
 public:
  uint32_t CreateDeviceFile(const QXWString&, uint32_t, uint32_t, void*, QXOsHandle& file) override {
    file = reinterpret_cast<QXOsHandle>(uintptr_t{0x10});
    return 0;
  }
  void CloseOsHandle(QXOsHandle) override {}
  uint32_t CreateNamedMutex(const QXWString&, QXOsHandle&, bool&) override { return 0; }
  uint32_t CreateManualResetEvent(QXOsHandle& event) override {
    event = reinterpret_cast<QXOsHandle>(uintptr_t{0x30});
    return 0;
  }
  uint32_t WaitForEvent(QXOsHandle, int32_t) override { return 0; }
  uint32_t WinUsbInitialize(QXOsHandle, QXOsHandle& winUsb) override {
    winUsb = reinterpret_cast<QXOsHandle>(uintptr_t{0x20});
    return 0;
  }
  uint32_t WinUsbFree(QXOsHandle) override { return 0; }
  uint32_t WinUsbGetAssociatedInterface(QXOsHandle, uint8_t, QXOsHandle&) override { return 0; }
  uint32_t WinUsbSetPipePolicy(QXOsHandle, uint8_t, uint32_t, uint32_t, void*) override { return 0; }
  uint32_t WinUsbGetDescriptor(QXOsHandle, uint8_t, uint8_t, uint16_t, uint8_t*, uint32_t,
                               uint32_t& transferred) override {
    transferred = 0;
    return 0;
  }
  uint32_t WinUsbQueryDeviceInformation(QXOsHandle, uint32_t, uint32_t&, void*) override { return 0; }
  uint32_t WinUsbSetCurrentAlternateSetting(QXOsHandle, uint8_t) override { return 0; }
  uint32_t WinUsbControlTransfer(QXOsHandle, const QXUsbSetupPacket& setup, uint8_t*, uint32_t, uint32_t& transferred,
                                 QXWinOverlapped&) override {
    transferred = setup.wLength;
    return 0;
  }
  uint32_t WinUsbGetOverlappedResult(QXOsHandle, QXWinOverlapped&, uint32_t& transferred) override {
    transferred = 0;
    return 0;
  }
  uint32_t CancelOverlappedIo(QXOsHandle, QXWinOverlapped&) override { return 0; }
};

QXUsbSetupPacket Setup(bool dnload) {
  QXUsbSetupPacket setup;
  setup.bmRequestType = dnload ? 0x21 : 0xA1;
  setup.bRequest = dnload ? 1 : 3;
  setup.wLength = dnload ? 4096 : 6;
  return setup;
}

// Recording on for the length of one benchmark, into a file in the temporary folder.
class RecordingScope {
 public:
  explicit RecordingScope(bool on) : mOn(on) {
    if (on) {
      plendrik::QXRecordingSettings settings;
      const std::filesystem::path path = std::filesystem::temp_directory_path() / "fb-bench-recording.jsonl";
      settings.file = path.u16string();
      settings.backend = "bench";
      settings.libraryVersion = "bench";
      plendrik::QXStartSessionRecording(settings);
      mPath = path;
    }
  }
  ~RecordingScope() {
    plendrik::QXStopSessionRecording();
    if (mOn) {
      std::error_code ec;
      std::filesystem::remove(mPath, ec);
    }
  }

 private:
  bool mOn;
  std::filesystem::path mPath;
};

// One transfer as QXWinusbDrvBase makes it: submit, wait if pending, collect the result.
uint32_t Transfer(QXOsHandle winUsb, const QXUsbSetupPacket& setup, std::vector<uint8_t>& buffer,
                  QXWinOverlapped& overlapped) {
  plendrik::QXWinusbDrvApi& api = plendrik::QXGetWinusbDrvApi();
  uint32_t transferred = 0;
  uint32_t err = api.WinUsbControlTransfer(winUsb, setup, buffer.data(), setup.wLength, transferred, overlapped);
  if (err == plendrik::kQXErrorIoPending) {
    api.WaitForEvent(overlapped.EventHandle(), 5000);
    err = api.WinUsbGetOverlappedResult(winUsb, overlapped, transferred);
  }
  return err;
}

void BM_RecorderPerTransfer(benchmark::State& state) {
  const bool dnload = state.range(0) != 0;
  ImmediateSeam seam;
  plendrik::QXSetWinusbDrvApi(&seam);
  {
    RecordingScope recording(state.range(1) != 0);
    std::vector<uint8_t> buffer(4096, 0x5A);
    QXWinOverlapped overlapped;
    const QXUsbSetupPacket setup = Setup(dnload);
    for (auto _ : state) {
      benchmark::DoNotOptimize(Transfer(reinterpret_cast<QXOsHandle>(uintptr_t{0x20}), setup, buffer, overlapped));
    }
  }
  plendrik::QXSetWinusbDrvApi(nullptr);
}
BENCHMARK(BM_RecorderPerTransfer)->ArgNames({"dnload", "recording"})->ArgsProduct({{0, 1}, {0, 1}});

// DFU_GETSTATUS of a DFU device in dfuIDLE on the virtual bus (the device's state stays).
void BM_VirtualBusGetStatus(benchmark::State& state) {
  fbbench::BusScope bus;
  plendrik::sim::SimDfuDeviceConfig config;
  config.vendorId = fbbench::kVid;
  config.applicationProductId = fbbench::kAppPid;
  config.bootloaderProductId = fbbench::kBootPid;
  config.identity.interfaceClassGuid = fbbench::BenchGuid();
  config.startMode = plendrik::sim::SimRunMode::Bootloader;
  auto device = plendrik::sim::SimDfuDevice::Create(plendrik::sim::VirtualUsbBus::Instance(), config);
  device->Plug();
  plendrik::QXSetWinusbDrvApi(&plendrik::sim::SimWinusbDrvApi::Instance());
  {
    RecordingScope recording(state.range(0) != 0);
    plendrik::QXWinusbDrvApi& api = plendrik::QXGetWinusbDrvApi();
    const auto nodes = plendrik::sim::VirtualUsbBus::Instance().ListDevices(fbbench::BenchGuid());
    QXOsHandle file = nullptr;
    QXOsHandle winUsb = nullptr;
    QXWinOverlapped overlapped;
    if (nodes.empty() || api.CreateDeviceFile(nodes[0].interfacePath, 0, 0, nullptr, file) != 0 ||
        api.WinUsbInitialize(file, winUsb) != 0 || overlapped.InitOverlapped() != 0) {
      state.SkipWithError("the simulated device cannot be opened");
    } else {
      std::vector<uint8_t> buffer(6);
      const QXUsbSetupPacket setup = Setup(false);
      for (auto _ : state) {
        benchmark::DoNotOptimize(Transfer(winUsb, setup, buffer, overlapped));
      }
      api.WinUsbFree(winUsb);
      api.CloseOsHandle(file);
      overlapped.CloseEvent();
    }
  }
  plendrik::QXSetWinusbDrvApi(nullptr);
  device->Unplug();
}
BENCHMARK(BM_VirtualBusGetStatus)->ArgNames({"recording"})->Arg(0)->Arg(1);

}  // namespace
