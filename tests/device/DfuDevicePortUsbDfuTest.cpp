// The USB DFU device port against simulated devices on the virtual bus: opening and the
// descriptor walk, run modes, properties, reboot and target selection, and the setup packet,
// time-out and length rule of every request it sends.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "device/DfuDevicePortUsbDfu.h"
#include "device/DfuProtocol.h"
#include "discovery/DfuEnumeratorPortUsbDfu.h"
#include "sim/SimSetupApi.h"
#include "flashbridge.h"
#include "sim/SimWinusbDrvApi.h"
#include "sim/VirtualUsbBus.h"
#include "support/TestLogTarget.h"

namespace plendrik {
namespace {

constexpr const char* kPortGuidText = "{7D1C5E2A-4B3F-4E61-9A0D-2C8B5F13E7A4}";
constexpr uint16_t kVid = 0x1209;

using Bytes = std::vector<uint8_t>;

Bytes Functional(uint8_t attributes, uint16_t detachTimeOut, uint16_t transferSize, uint16_t version = 0x0110) {
  return {9,
          kDfuFunctionalDescriptorType,
          attributes,
          static_cast<uint8_t>(detachTimeOut),
          static_cast<uint8_t>(detachTimeOut >> 8),
          static_cast<uint8_t>(transferSize),
          static_cast<uint8_t>(transferSize >> 8),
          static_cast<uint8_t>(version),
          static_cast<uint8_t>(version >> 8)};
}

Bytes Interface(uint8_t number, uint8_t alt, uint8_t endpoints = 0, uint8_t protocol = 2) {
  return {9, 4, number, alt, endpoints, 0xFE, 0x01, protocol, 0};
}

// A configuration descriptor made of the given descriptors, with its header.
Bytes Configuration(const std::vector<Bytes>& descriptors, uint8_t interfaces) {
  Bytes config{9, 2, 0, 0, interfaces, 1, 0, 0x80, 50};
  for (const Bytes& d : descriptors) {
    config.insert(config.end(), d.begin(), d.end());
  }
  config[2] = static_cast<uint8_t>(config.size());
  config[3] = static_cast<uint8_t>(config.size() >> 8);
  return config;
}

sim::SimGuid PortGuid() {
  sim::SimGuid guid;
  EXPECT_TRUE(sim::SimGuid::Parse(std::string_view(kPortGuidText), guid));
  return guid;
}

// A device with one DFU interface 0: download capable, manifestation tolerant, will detach,
// wDetachTimeOut 1000, wTransferSize 1024, strings 1 to 3.
sim::SimDeviceSpec DfuSpec(uint16_t pid, uint8_t protocol = 2, Bytes functional = Functional(0x0D, 1000, 1024)) {
  sim::SimDeviceSpec spec;
  spec.vendorId = kVid;
  spec.productId = pid;
  spec.bcdDevice = 0x0217;
  spec.iManufacturer = 1;
  spec.iProduct = 2;
  spec.iSerialNumber = 3;
  spec.strings[1] = sim::SimWiden("Plendrik");
  spec.strings[2] = sim::SimWiden("Flash Target");
  spec.strings[3] = sim::SimWiden("SN0815");
  sim::SimAltSettingSpec& alt = spec.configurations.front().interfaces.front().altSettings.front();
  alt.interfaceProtocol = protocol;
  alt.functionalDescriptors = {std::move(functional)};
  spec.identity.interfaceClassGuid = PortGuid();
  sim::SimGuid container;
  EXPECT_TRUE(sim::SimGuid::Parse(std::string_view("{11223344-5566-7788-99AA-BBCCDDEEFF00}"), container));
  spec.identity.containerId = container;
  return spec;
}

// The same device, but its DFU interface is number 2 (the hardware identifier names it), with
// alternate settings 0 to 3 and interface 3 behind it, so wIndex and targets can be checked.
sim::SimDeviceSpec DfuSpecInterface2(uint16_t pid) {
  sim::SimDeviceSpec spec = DfuSpec(pid);
  spec.rawConfigurationDescriptors = {Configuration({Interface(2, 0), Functional(0x0D, 1000, 1024), Interface(2, 1),
                                                     Interface(2, 2), Interface(2, 3), Interface(3, 0, 0, 0)},
                                                    2)};
  char hardwareId[64];
  std::snprintf(hardwareId, sizeof(hardwareId), "USB\\VID_1209&PID_%04X&REV_0217&MI_02", pid);
  spec.identity.hardwareIds = {sim::SimWiden(hardwareId)};
  return spec;
}

// Forwards to the virtual bus's transport and records the time-out of each wait for a transfer.
class RecordingWinusbDrvApi final : public QXWinusbDrvApi {
 public:
  std::vector<int32_t> Waits() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mWaits;
  }
  void ClearWaits() {
    std::lock_guard<std::mutex> lock(mMutex);
    mWaits.clear();
  }

  uint32_t CreateDeviceFile(const QXWString& p, uint32_t a, uint32_t s, void* sa, QXOsHandle& f) override {
    return Sim().CreateDeviceFile(p, a, s, sa, f);
  }
  void CloseOsHandle(QXOsHandle h) override { Sim().CloseOsHandle(h); }
  uint32_t CreateNamedMutex(const QXWString& n, QXOsHandle& m, bool& e) override {
    return Sim().CreateNamedMutex(n, m, e);
  }
  uint32_t CreateManualResetEvent(QXOsHandle& e) override { return Sim().CreateManualResetEvent(e); }
  uint32_t WaitForEvent(QXOsHandle e, int32_t timeoutMs) override {
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mWaits.push_back(timeoutMs);
    }
    return Sim().WaitForEvent(e, timeoutMs);
  }
  uint32_t WinUsbInitialize(QXOsHandle f, QXOsHandle& w) override { return Sim().WinUsbInitialize(f, w); }
  uint32_t WinUsbFree(QXOsHandle w) override { return Sim().WinUsbFree(w); }
  uint32_t WinUsbGetAssociatedInterface(QXOsHandle w, uint8_t i, QXOsHandle& h) override {
    return Sim().WinUsbGetAssociatedInterface(w, i, h);
  }
  uint32_t WinUsbSetPipePolicy(QXOsHandle w, uint8_t p, uint32_t t, uint32_t l, void* v) override {
    return Sim().WinUsbSetPipePolicy(w, p, t, l, v);
  }
  uint32_t WinUsbGetDescriptor(QXOsHandle w, uint8_t t, uint8_t i, uint16_t l, uint8_t* b, uint32_t n,
                               uint32_t& x) override {
    return Sim().WinUsbGetDescriptor(w, t, i, l, b, n, x);
  }
  uint32_t WinUsbQueryDeviceInformation(QXOsHandle w, uint32_t t, uint32_t& l, void* b) override {
    return Sim().WinUsbQueryDeviceInformation(w, t, l, b);
  }
  uint32_t WinUsbSetCurrentAlternateSetting(QXOsHandle w, uint8_t a) override {
    return Sim().WinUsbSetCurrentAlternateSetting(w, a);
  }
  uint32_t WinUsbControlTransfer(QXOsHandle w, const QXUsbSetupPacket& s, uint8_t* b, uint32_t l, uint32_t& x,
                                 QXWinOverlapped& o) override {
    return Sim().WinUsbControlTransfer(w, s, b, l, x, o);
  }
  uint32_t WinUsbGetOverlappedResult(QXOsHandle w, QXWinOverlapped& o, uint32_t& x) override {
    return Sim().WinUsbGetOverlappedResult(w, o, x);
  }
  uint32_t CancelOverlappedIo(QXOsHandle f, QXWinOverlapped& o) override { return Sim().CancelOverlappedIo(f, o); }

 private:
  static sim::SimWinusbDrvApi& Sim() { return sim::SimWinusbDrvApi::Instance(); }
  std::mutex mMutex;
  std::vector<int32_t> mWaits;
};

// Another enumeration port and another device port, for the run-time type checks.
class OtherEnumeratorPort final : public DfuEnumeratorPortInterface {
 public:
  QXSTATUS EnumerateDevices(const char*) override { return QXSTATUS_SUCCESS; }
  uint32_t GetDeviceCount() const override { return 1; }
  QXSTATUS CompareDeviceInstance(uint32_t, DfuDevicePortInterface*) override { return QXSTATUS_SUCCESS; }
};

class OtherDevicePort final : public DfuDevicePortInterface {
 public:
  QXSTATUS OpenPortDevice(DfuEnumeratorPortInterface*, uint32_t) override { return QXSTATUS_SUCCESS; }
  bool IsDeviceConnected() override { return true; }
  bool IsDownloadCapable() override { return true; }
  bool IsManifestationTolerant() override { return true; }
  uint32_t GetTransferSize() override { return 64; }
  QXSTATUS GetCurrentRunMode(uint32_t& m) override {
    m = QXDFU_RUN_MODE_BOOTLOADER;
    return QXSTATUS_SUCCESS;
  }
  QXSTATUS GetDevicePropertyUint(uint32_t, uint32_t&) override { return QXSTATUS_SUCCESS; }
  QXSTATUS GetDevicePropertyString(uint32_t, QXWChar*, uint32_t) override { return QXSTATUS_SUCCESS; }
  QXSTATUS RebootDevice(uint32_t, uint32_t) override { return QXSTATUS_SUCCESS; }
  QXSTATUS SelectTarget(uint8_t, uint32_t) override { return QXSTATUS_SUCCESS; }
  QXSTATUS DfuDnload(QXDfuBlock, uint16_t) override { return QXSTATUS_SUCCESS; }
  QXSTATUS DfuGetStatus(uint8_t (&)[kQXDfuStatusRecordSize]) override { return QXSTATUS_SUCCESS; }
  QXSTATUS DfuClrStatus() override { return QXSTATUS_SUCCESS; }
  QXSTATUS DfuAbort() override { return QXSTATUS_SUCCESS; }
  QXSTATUS DfuGetState(uint8_t&) override { return QXSTATUS_SUCCESS; }
  QXSTATUS PrivStoreImageMetadataHeader(const uint8_t (&)[kQXImgMetadataHeaderSize]) override {
    return QXSTATUS_SUCCESS;
  }
  QXSTATUS PrivCheckImageCompatibility(uint8_t, uint32_t&) override { return QXSTATUS_SUCCESS; }
  QXSTATUS PrivGetUnlockToken(uint8_t, uint8_t (&)[kQXUnlockTokenSize]) override { return QXSTATUS_SUCCESS; }
  QXSTATUS PrivUnlockTarget(const uint8_t (&)[kQXUnlockRequestSize]) override { return QXSTATUS_SUCCESS; }
};

class DfuDevicePortUsbDfuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QXWinSetSetupApi(&mSetupApi);
    mSavedApi = &QXGetWinusbDrvApi();
    QXSetWinusbDrvApi(&mTransport);
  }

  void TearDown() override {
    mPort.reset();
    for (const sim::SimDevicePtr& device : mDevices) {
      device->SetRequestHandler(nullptr);
      sim::VirtualUsbBus::Instance().Detach(device->Id());
    }
    QXSetWinusbDrvApi(mSavedApi == &QXPlatformWinusbDrvApi() ? nullptr : mSavedApi);
    QXWinSetSetupApi(nullptr);
  }

  // Attaches a device whose class and vendor requests the fixture answers (see Handle).
  sim::SimDevicePtr Attach(const sim::SimDeviceSpec& spec) {
    mDevices.push_back(sim::VirtualUsbBus::Instance().Attach(spec));
    mDevices.back()->SetRequestHandler([this](const sim::SimControlRequestPtr& r) { Handle(r); });
    return mDevices.back();
  }

  // Lists the test's devices and opens a new port on deviceIndex.
  QXSTATUS Open(uint32_t deviceIndex = 0) {
    Enumerate();
    mPort = std::make_unique<DfuDevicePortUsbDfu>();
    return mPort->OpenPortDevice(mEnumeratorPort.get(), deviceIndex);
  }

  // A new enumeration whose filter names every device the test attached.
  void Enumerate() {
    std::string filter;
    for (const sim::SimDevicePtr& device : mDevices) {
      char line[64];
      std::snprintf(line, sizeof(line), "VID=0x%04X, PID=0x%04X\n", device->Spec().vendorId, device->Spec().productId);
      filter += line;
    }
    mEnumeratorPort = std::make_unique<DfuEnumeratorPortUsbDfu>(kPortGuidText);
    EXPECT_EQ(mEnumeratorPort->EnumerateDevices(filter.c_str()), QXSTATUS_SUCCESS);
  }

  // Class and vendor requests: in requests get the configured answer (stall without one),
  // out requests are acknowledged; bRequests in mStall stall, those in mSilent never answer.
  void Handle(const sim::SimControlRequestPtr& request) {
    std::lock_guard<std::mutex> lock(mMutex);
    const uint8_t b = request->Setup().bRequest;
    mOutData[b] = request->OutData();
    if (mSilent.count(b) != 0) {
      return;
    }
    if (mStall.count(b) != 0) {
      request->Stall();
    } else if (request->Setup().IsDeviceToHost()) {
      const auto answer = mAnswers.find(b);
      answer != mAnswers.end() ? request->Complete(answer->second) : request->Stall();
    } else {
      request->CompleteOut();
    }
  }

  void Answer(uint8_t request, Bytes data) {
    std::lock_guard<std::mutex> lock(mMutex);
    mAnswers[request] = std::move(data);
  }
  void Stall(uint8_t request) {
    std::lock_guard<std::mutex> lock(mMutex);
    mStall.insert(request);
  }
  Bytes OutData(uint8_t request) {
    std::lock_guard<std::mutex> lock(mMutex);
    return mOutData[request];
  }

  // The setup packets a device saw since `from`, without its descriptor reads.
  static std::vector<sim::SimSetupPacket> Requests(const sim::SimDevicePtr& device, size_t from = 0) {
    std::vector<sim::SimSetupPacket> out;
    const auto log = device->RequestLog();
    for (size_t i = from; i < log.size(); ++i) {
      if (!(log[i].bmRequestType == 0x80 && log[i].bRequest == 0x06)) {
        out.push_back(log[i]);
      }
    }
    return out;
  }

  static void ExpectSetup(const sim::SimSetupPacket& s, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                          uint16_t length) {
    EXPECT_EQ(s.bmRequestType, type) << "bRequest " << int(request);
    EXPECT_EQ(s.bRequest, request);
    EXPECT_EQ(s.wValue, value) << "bRequest " << int(request);
    EXPECT_EQ(s.wIndex, index) << "bRequest " << int(request);
    EXPECT_EQ(s.wLength, length) << "bRequest " << int(request);
  }

  QXWinSetupApiVirtualBus mSetupApi;
  RecordingWinusbDrvApi mTransport;
  QXWinusbDrvApi* mSavedApi = nullptr;
  std::vector<sim::SimDevicePtr> mDevices;
  std::unique_ptr<DfuEnumeratorPortUsbDfu> mEnumeratorPort;
  std::unique_ptr<DfuDevicePortUsbDfu> mPort;
  std::mutex mMutex;
  std::map<uint8_t, Bytes> mAnswers;
  std::map<uint8_t, Bytes> mOutData;
  std::set<uint8_t> mStall;
  std::set<uint8_t> mSilent;
};

TEST_F(DfuDevicePortUsbDfuTest, OpenCachesDescriptorsStringsAndIdentityWithoutSendingRequests) {
  TestLogTarget log(gLogGlobal, kQXLogLevelInfo);
  sim::SimDevicePtr device = Attach(DfuSpec(0x0101));
  ASSERT_EQ(Open(), QXSTATUS_SUCCESS) << log.Dump();
  EXPECT_TRUE(Requests(device).empty()) << "opening must not send class or vendor requests";

  EXPECT_EQ(mPort->GetDfuVersionCode(), 2u);
  EXPECT_TRUE(mPort->IsDownloadCapable());
  EXPECT_TRUE(mPort->IsManifestationTolerant());
  EXPECT_EQ(mPort->GetTransferSize(), 1024u);
  EXPECT_TRUE(mPort->IsDeviceConnected());

  uint32_t value = 0;
  EXPECT_EQ(mPort->GetDevicePropertyUint(QXDFU_DEVICE_PROPERTY_VENDOR_ID, value), QXSTATUS_SUCCESS);
  EXPECT_EQ(value, 0x1209u);
  EXPECT_EQ(mPort->GetDevicePropertyUint(QXDFU_DEVICE_PROPERTY_PRODUCT_ID, value), QXSTATUS_SUCCESS);
  EXPECT_EQ(value, 0x0101u);
  EXPECT_EQ(mPort->GetDevicePropertyUint(QXDFU_DEVICE_PROPERTY_BCD_DEVICE, value), QXSTATUS_SUCCESS);
  EXPECT_EQ(value, 0x0217u);

  QXWChar text[128];
  const auto property = [&](uint32_t id) {
    const QXSTATUS st = mPort->GetDevicePropertyString(id, text, 128);
    return st == QXSTATUS_SUCCESS ? sim::SimNarrow(text) : "st=" + std::to_string(st);
  };
  EXPECT_EQ(property(QXDFU_DEVICE_PROPERTY_MANUFACTURER), "Plendrik");
  EXPECT_EQ(property(QXDFU_DEVICE_PROPERTY_PRODUCT), "Flash Target");
  EXPECT_EQ(property(QXDFU_DEVICE_PROPERTY_SERIAL_NUMBER), "SN0815");
  EXPECT_EQ(property(QXDFU_DEVICE_PROPERTY_CONTAINER_ID), "{11223344-5566-7788-99AA-BBCCDDEEFF00}");
  const auto nodes = sim::VirtualUsbBus::Instance().ListDevices(PortGuid());
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(property(QXDFU_DEVICE_PROPERTY_DEVICE_INSTANCE_ID), sim::SimNarrow(nodes[0].instanceId));
  EXPECT_EQ(mPort->GetDeviceIdentity().devicePath, nodes[0].interfacePath);

  // The device descriptor dump at INFO level.
  EXPECT_TRUE(log.Contains("plendrik::DfuDevicePortUsbDfu::CacheInformation: Device Descriptor:", kQXLogLevelInfo));
  EXPECT_TRUE(log.Contains("   idVendor        0x1209", kQXLogLevelInfo)) << log.Dump();
  EXPECT_TRUE(log.Contains("   bcdDevice       0x0217", kQXLogLevelInfo)) << log.Dump();
  EXPECT_TRUE(log.Contains("   bNumConfigurations 0x01", kQXLogLevelInfo)) << log.Dump();
  EXPECT_EQ(log.Problems(), 0u) << log.Dump();

  // A device that leaves the bus is no longer connected.
  ASSERT_TRUE(sim::VirtualUsbBus::Instance().Detach(device->Id()));
  EXPECT_FALSE(mPort->IsDeviceConnected());
}

TEST_F(DfuDevicePortUsbDfuTest, RunModeComesFromTheInterfaceProtocol) {
  TestLogTarget log;
  Attach(DfuSpec(0x0102, 1));
  Attach(DfuSpec(0x0103, 2));
  Attach(DfuSpec(0x0104, 0));
  const uint32_t expected[] = {QXDFU_RUN_MODE_APPLICATION, QXDFU_RUN_MODE_BOOTLOADER, QXDFU_RUN_MODE_UNKNOWN};
  for (uint32_t i = 0; i < 3; ++i) {
    ASSERT_EQ(Open(i), QXSTATUS_SUCCESS);
    uint32_t runMode = 99;
    EXPECT_EQ(mPort->GetCurrentRunMode(runMode), QXSTATUS_SUCCESS);
    EXPECT_EQ(runMode, expected[i]) << "device " << i;
  }
  EXPECT_EQ(log.Count("unknown bInterfaceProtocol 0x00, set run mode to unknown", kQXLogLevelWarn), 1u) << log.Dump();

  // A port that never accepted a functional descriptor knows no run mode.
  DfuDevicePortUsbDfu unopened;
  uint32_t runMode = 99;
  EXPECT_EQ(unopened.GetCurrentRunMode(runMode), QXSTATUS_SUCCESS);
  EXPECT_EQ(runMode, QXDFU_RUN_MODE_UNKNOWN);
  EXPECT_TRUE(log.Contains("unsupported DFU version 0, set run mode to unknown", kQXLogLevelWarn));
  EXPECT_FALSE(unopened.IsDeviceConnected());
}

TEST_F(DfuDevicePortUsbDfuTest, AlternateSettingsBelongToTheDfuInterface) {
  // Interface 2, alternate settings 0 and 1; only setting 1 carries the functional descriptor.
  sim::SimDeviceSpec spec = DfuSpecInterface2(0x0120);
  spec.rawConfigurationDescriptors = {
      Configuration({Interface(2, 0), Interface(2, 1), Functional(0x01, 0, 2048), Interface(3, 0, 0, 0)}, 2)};
  Attach(spec);
  ASSERT_EQ(Open(), QXSTATUS_SUCCESS);
  EXPECT_EQ(mPort->GetTransferSize(), 2048u);
  EXPECT_FALSE(mPort->IsManifestationTolerant());
  EXPECT_EQ(mPort->GetDeviceIdentity().interfaceNumber, 2);
}

TEST_F(DfuDevicePortUsbDfuTest, DescriptorWalkRefusesMisplacedOrUnsupportedFunctionalDescriptors) {
  struct Case {
    const char* name;
    Bytes config;
    QXSTATUS status;
    const char* message;
  };
  const Case cases[] = {
      {"behind the next interface",
       Configuration({Interface(0, 0), Interface(1, 0, 0, 0), Functional(0x0D, 1000, 1024)}, 2),
       QXSTATUS_INVALID_DESCRIPTOR, "DFU functional descriptor not within DFU interface"},
      {"behind an endpoint",
       Configuration({Interface(0, 0, 1), Bytes{7, 5, 0x81, 2, 64, 0, 0}, Functional(0x0D, 1000, 1024)}, 1),
       QXSTATUS_INVALID_DESCRIPTOR, "missing DFU functional descriptor"},
      {"shorter than 9 bytes", Configuration({Interface(0, 0), Bytes{7, 0x21, 0x0D, 0xE8, 3, 0, 4}}, 1),
       QXSTATUS_INVALID_DESCRIPTOR, "missing DFU functional descriptor"},
      {"none at all", Configuration({Interface(0, 0)}, 1), QXSTATUS_INVALID_DESCRIPTOR,
       "missing DFU functional descriptor"},
      {"DFU version 0x011A", Configuration({Interface(0, 0), Functional(0x0D, 1000, 1024, 0x011A)}, 1),
       QXSTATUS_VERSION_MISMATCH, "device reports unsupported DFU version 0x011a"},
      {"DFU version 0x0100", Configuration({Interface(0, 0), Functional(0x0D, 1000, 1024, 0x0100)}, 1),
       QXSTATUS_VERSION_MISMATCH, "device reports unsupported DFU version 0x0100"},
      {"wTransferSize 0 in DFU mode", Configuration({Interface(0, 0), Functional(0x0D, 1000, 0)}, 1),
       QXSTATUS_INVALID_DESCRIPTOR, "device reports wTransferSize 0 in DFU mode, no download possible"},
  };
  uint16_t pid = 0x0200;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestLogTarget log;
    sim::SimDeviceSpec spec = DfuSpec(++pid);
    spec.rawConfigurationDescriptors = {c.config};
    sim::SimDevicePtr device = Attach(spec);
    EXPECT_EQ(Open(), c.status);
    EXPECT_TRUE(log.Contains(c.message, kQXLogLevelError)) << log.Dump();
    EXPECT_TRUE(Requests(device).empty()) << "nothing may be sent to a refused device";
    EXPECT_EQ(mPort->GetDfuVersionCode(), 0u);
    mPort.reset();
    sim::VirtualUsbBus::Instance().Detach(device->Id());
  }
}

TEST_F(DfuDevicePortUsbDfuTest, TransferSizeZeroIsAcceptedInApplicationModeWhereNothingIsDownloaded) {
  Attach(DfuSpec(0x0121, 1, Functional(0x0D, 1000, 0)));
  ASSERT_EQ(Open(), QXSTATUS_SUCCESS);
  EXPECT_EQ(mPort->GetTransferSize(), 0u);
  uint32_t runMode = 0;
  EXPECT_EQ(mPort->GetCurrentRunMode(runMode), QXSTATUS_SUCCESS);
  EXPECT_EQ(runMode, QXDFU_RUN_MODE_APPLICATION);
}

TEST_F(DfuDevicePortUsbDfuTest, OpenFailuresReportTheirStepAndStatus) {
  TestLogTarget log;
  sim::SimDevicePtr device = Attach(DfuSpec(0x0105));

  OtherEnumeratorPort other;
  DfuDevicePortUsbDfu port;
  EXPECT_EQ(port.OpenPortDevice(&other, 0), QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(port.OpenPortDevice(nullptr, 0), QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(log.Count("invalid enumerator type", kQXLogLevelError), 2u);

  EXPECT_EQ(Open(1), QXSTATUS_INVALID_INDEX);
  EXPECT_TRUE(log.Contains("invalid deviceIndex 1"));
  EXPECT_TRUE(log.Contains("GetUsbDevInstanceId failed, st=0xee000047"));

  // A second port on an open device: the device file is taken.
  ASSERT_EQ(Open(), QXSTATUS_SUCCESS);
  DfuDevicePortUsbDfu second;
  EXPECT_EQ(second.OpenPortDevice(mEnumeratorPort.get(), 0), QXSTATUS_IN_USE);
  EXPECT_TRUE(log.Contains("OpenUsbDevice failed, st=0xee000006"));
  // Once the first port is gone (interface released, device closed) the device opens again.
  mPort.reset();
  DfuDevicePortUsbDfu third;
  EXPECT_EQ(third.OpenPortDevice(mEnumeratorPort.get(), 0), QXSTATUS_SUCCESS);

  // The hardware identifier names an interface the configuration does not have.
  sim::SimDeviceSpec spec = DfuSpec(0x0106);
  spec.identity.hardwareIds = {sim::SimWiden("USB\\VID_1209&PID_0106&REV_0217&MI_05")};
  Attach(spec);
  ASSERT_TRUE(sim::VirtualUsbBus::Instance().Detach(device->Id()));
  log.Clear();
  EXPECT_EQ(Open(), QXSTATUS_IN_USE);
  EXPECT_TRUE(log.Contains("ClaimUsbInterface failed, st=", kQXLogLevelError)) << log.Dump();
}

TEST_F(DfuDevicePortUsbDfuTest, DeviceListedButGoneFailsInTheTransport) {
  TestLogTarget log;
  sim::SimDevicePtr device = Attach(DfuSpec(0x0107));
  Enumerate();
  ASSERT_EQ(mEnumeratorPort->GetDeviceCount(), 1u);
  ASSERT_TRUE(sim::VirtualUsbBus::Instance().Detach(device->Id()));
  DfuDevicePortUsbDfu port;
  EXPECT_NE(port.OpenPortDevice(mEnumeratorPort.get(), 0), QXSTATUS_SUCCESS);
  EXPECT_TRUE(log.Contains("OpenUsbDevice failed", kQXLogLevelError)) << log.Dump();
}

TEST_F(DfuDevicePortUsbDfuTest, UnreadableDescriptorsFailTheOpenOrLeaveTheStringEmpty) {
  TestLogTarget log;
  // A string descriptor whose bLength disagrees with its size: the product string stays empty.
  sim::SimDeviceSpec spec = DfuSpec(0x0108);
  spec.rawStringDescriptors[{2, 0x0409}] = {10, 3, 'A', 0};
  Attach(spec);
  ASSERT_EQ(Open(), QXSTATUS_SUCCESS);
  EXPECT_TRUE(log.Contains("GetStringDescriptorString(product) failed", kQXLogLevelWarn)) << log.Dump();
  QXWChar text[32];
  EXPECT_EQ(mPort->GetDevicePropertyString(QXDFU_DEVICE_PROPERTY_PRODUCT, text, 32), QXSTATUS_NOT_AVAILABLE);
  EXPECT_EQ(mPort->GetDevicePropertyString(QXDFU_DEVICE_PROPERTY_MANUFACTURER, text, 32), QXSTATUS_SUCCESS);

  // A device that stalls the device descriptor read cannot be opened.
  sim::SimDevicePtr stalling = Attach(DfuSpec(0x0109));
  stalling->SetRequestHandler(
      [weak = std::weak_ptr<sim::SimDevice>(stalling)](const sim::SimControlRequestPtr& r) {
        const sim::SimSetupPacket& s = r->Setup();
        auto self = weak.lock();
        std::optional<Bytes> data;
        if (self && s.bRequest == 0x06 && (s.wValue >> 8) == 2) {
          data = self->ConfigurationDescriptor(static_cast<uint8_t>(s.wValue));
        } else if (self && s.bRequest == 0x06 && (s.wValue >> 8) == 3) {
          data = self->StringDescriptor(static_cast<uint8_t>(s.wValue), s.wIndex);
        }
        data ? r->Complete(*data) : r->Stall();
      },
      sim::SimHandlerScope::All);
  log.Clear();
  EXPECT_NE(Open(1), QXSTATUS_SUCCESS);
  EXPECT_TRUE(log.Contains("GetDeviceDescriptor failed", kQXLogLevelError)) << log.Dump();
  EXPECT_TRUE(log.Contains("CacheInformation failed", kQXLogLevelError)) << log.Dump();
}

TEST_F(DfuDevicePortUsbDfuTest, PropertiesCheckIdentifiersAndBufferSizes) {
  TestLogTarget log;
  sim::SimDeviceSpec spec = DfuSpec(0x010A);
  spec.iManufacturer = 0;
  spec.identity.containerId.reset();
  Attach(spec);
  ASSERT_EQ(Open(), QXSTATUS_SUCCESS);

  uint32_t value = 0;
  QXWChar text[16];
  for (uint32_t id : {0u, 4u, 5u, 7u, 8u, 10u}) {
    EXPECT_EQ(mPort->GetDevicePropertyUint(id, value), QXSTATUS_INVALID_PARAMETER) << id;
  }
  for (uint32_t id : {0u, 1u, 2u, 3u, 7u, 10u}) {
    EXPECT_EQ(mPort->GetDevicePropertyString(id, text, 16), QXSTATUS_INVALID_PARAMETER) << id;
  }
  EXPECT_TRUE(log.Contains("unknown propertyId 7", kQXLogLevelError));

  // No manufacturer string index, no container id: not available.
  EXPECT_EQ(mPort->GetDevicePropertyString(QXDFU_DEVICE_PROPERTY_MANUFACTURER, text, 16), QXSTATUS_NOT_AVAILABLE);
  EXPECT_EQ(mPort->GetDevicePropertyString(QXDFU_DEVICE_PROPERTY_CONTAINER_ID, text, 16), QXSTATUS_NOT_AVAILABLE);

  // "SN0815" is 6 units: 6 items leave no room for the terminator, 7 do.
  text[6] = 0x7777;
  EXPECT_EQ(mPort->GetDevicePropertyString(QXDFU_DEVICE_PROPERTY_SERIAL_NUMBER, text, 6), QXSTATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(log.Contains("stringBufferMaxItems 6 too small"));
  EXPECT_EQ(mPort->GetDevicePropertyString(QXDFU_DEVICE_PROPERTY_SERIAL_NUMBER, text, 7), QXSTATUS_SUCCESS);
  EXPECT_EQ(sim::SimNarrow(text), "SN0815");
}

TEST_F(DfuDevicePortUsbDfuTest, RebootSendsDetachOrTheXmosRequestsAndToleratesAStall) {
  TestLogTarget log;
  sim::SimDevicePtr device = Attach(DfuSpecInterface2(0x010B));
  ASSERT_EQ(Open(), QXSTATUS_SUCCESS);

  size_t mark = device->RequestCount();
  EXPECT_EQ(mPort->RebootDevice(QXDFU_RUN_MODE_BOOTLOADER, 0), QXSTATUS_SUCCESS);
  auto requests = Requests(device, mark);
  ASSERT_EQ(requests.size(), 2u);
  ExpectSetup(requests[0], 0x01, 0x0B, 0, 2, 0);  // SET_INTERFACE alternate setting 0
  ExpectSetup(requests[1], 0x21, kDfuDetach, 1000, 2, 0);

  mark = device->RequestCount();
  EXPECT_EQ(mPort->RebootDevice(QXDFU_RUN_MODE_BOOTLOADER, QXDFU_REBOOT_FLAG_USE_XMOS_DFU_EXTENSIONS),
            QXSTATUS_SUCCESS);
  EXPECT_EQ(mPort->RebootDevice(QXDFU_RUN_MODE_APPLICATION, QXDFU_REBOOT_FLAG_USE_XMOS_DFU_EXTENSIONS),
            QXSTATUS_SUCCESS);
  requests = Requests(device, mark);
  ASSERT_EQ(requests.size(), 4u);
  ExpectSetup(requests[1], 0x21, 0xF2, 0, 2, 0);
  ExpectSetup(requests[3], 0x21, 0xF3, 0, 2, 0);
  EXPECT_EQ(log.Problems(), 0u) << log.Dump();

  // A device that leaves before it answers: only a warning.
  Stall(kDfuDetach);
  Stall(0xF2);
  EXPECT_EQ(mPort->RebootDevice(QXDFU_RUN_MODE_BOOTLOADER, 0), QXSTATUS_SUCCESS);
  EXPECT_EQ(mPort->RebootDevice(QXDFU_RUN_MODE_BOOTLOADER, 1), QXSTATUS_SUCCESS);
  EXPECT_TRUE(log.Contains("ClassOrVendorOutRequest(bRequest=0x00) failed, st=", kQXLogLevelWarn)) << log.Dump();
  EXPECT_TRUE(log.Contains("ClassOrVendorOutRequest(bRequest=0xF2) failed, st=", kQXLogLevelWarn)) << log.Dump();
  EXPECT_TRUE(log.Contains(", ignoring this error", kQXLogLevelWarn));

  // Any other run mode is refused before the reboot request.
  mark = device->RequestCount();
  EXPECT_EQ(mPort->RebootDevice(QXDFU_RUN_MODE_UNKNOWN, 0), QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(mPort->RebootDevice(3, 1), QXSTATUS_INVALID_PARAMETER);
  requests = Requests(device, mark);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].bRequest, 0x0B);
  EXPECT_EQ(requests[1].bRequest, 0x0B);
  EXPECT_FALSE(log.Contains("device will not detach"));
}

TEST_F(DfuDevicePortUsbDfuTest, DeviceWithoutWillDetachGetsTheDetachAndAWarningButNoReset) {
  TestLogTarget log;
  sim::SimDevicePtr device = Attach(DfuSpec(0x010C, 1, Functional(0x05, 250, 64)));
  ASSERT_EQ(Open(), QXSTATUS_SUCCESS);
  const size_t mark = device->RequestCount();
  EXPECT_EQ(mPort->RebootDevice(QXDFU_RUN_MODE_BOOTLOADER, 0), QXSTATUS_SUCCESS);
  const auto requests = Requests(device, mark);
  ASSERT_EQ(requests.size(), 2u);
  ExpectSetup(requests[1], 0x21, kDfuDetach, 250, 0, 0);
  EXPECT_TRUE(log.Contains("device will not detach, but issuing an USB reset is not supported", kQXLogLevelWarn));
  EXPECT_TRUE(device->IsAttached());
}

TEST_F(DfuDevicePortUsbDfuTest, SelectTargetUsesTheAlternateSettingOrTheXmosImageIndex) {
  TestLogTarget log;
  sim::SimDevicePtr device = Attach(DfuSpecInterface2(0x010D));
  ASSERT_EQ(Open(), QXSTATUS_SUCCESS);
  size_t mark = device->RequestCount();
  EXPECT_EQ(mPort->SelectTarget(3, 0), QXSTATUS_SUCCESS);
  EXPECT_EQ(mPort->SelectTarget(3, QXDFU_UPGRADE_FLAG_USE_XMOS_DFU_EXTENSIONS), QXSTATUS_SUCCESS);
  auto requests = Requests(device, mark);
  ASSERT_EQ(requests.size(), 2u);
  ExpectSetup(requests[0], 0x01, 0x0B, 3, 2, 0);
  ExpectSetup(requests[1], 0x21, kXmosDfuSelectImage, 3, 2, 0);

  // A setting the interface does not have, and a stalled XMOS request.
  EXPECT_NE(mPort->SelectTarget(4, 0), QXSTATUS_SUCCESS);
  EXPECT_TRUE(log.Contains("SetAlternateSetting(AS=0x04 failed, st=", kQXLogLevelError)) << log.Dump();
  Stall(kXmosDfuSelectImage);
  EXPECT_NE(mPort->SelectTarget(1, 1), QXSTATUS_SUCCESS);
  EXPECT_TRUE(log.Contains("ClassOrVendorOutRequest(XMOS_DFU_SELECTIMAGE) failed, st=", kQXLogLevelError));
}

TEST_F(DfuDevicePortUsbDfuTest, EveryRequestSendsItsSetupPacketDataAndTimeout) {
  sim::SimDevicePtr device = Attach(DfuSpecInterface2(0x010E));
  ASSERT_EQ(Open(), QXSTATUS_SUCCESS);
  Answer(kDfuGetStatus, {0, 0x10, 0x27, 0x01, kDfuStateDnBusy, 0});
  Answer(kDfuGetState, {kDfuStateDnloadIdle});
  Answer(kPrivCheckImageCompatibility, {0, 0, 0, 0});
  Bytes token(80);
  for (size_t i = 0; i < token.size(); ++i) token[i] = static_cast<uint8_t>(i * 3);
  Answer(kPrivGetUnlockToken, token);

  const size_t mark = device->RequestCount();
  mTransport.ClearWaits();
  Bytes block(100);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(0xA0 + i);
  EXPECT_EQ(mPort->DfuDnload({block.data(), block.size()}, 7), QXSTATUS_SUCCESS);
  EXPECT_EQ(OutData(kDfuDnload), block);
  EXPECT_EQ(mPort->DfuDnload({nullptr, 0}, 8), QXSTATUS_SUCCESS);  // the closing block

  uint8_t record[6];
  EXPECT_EQ(mPort->DfuGetStatus(record), QXSTATUS_SUCCESS);
  const DfuGetStatusRecord decoded = DecodeDfuGetStatusRecord(record);
  EXPECT_EQ(decoded.bwPollTimeout, 0x012710u);
  EXPECT_EQ(decoded.bState, kDfuStateDnBusy);
  EXPECT_EQ(mPort->DfuClrStatus(), QXSTATUS_SUCCESS);
  uint8_t state = 0;
  EXPECT_EQ(mPort->DfuGetState(state), QXSTATUS_SUCCESS);
  EXPECT_EQ(state, kDfuStateDnloadIdle);
  EXPECT_EQ(mPort->DfuAbort(), QXSTATUS_SUCCESS);

  uint8_t header[60];
  for (uint8_t i = 0; i < 60; ++i) header[i] = static_cast<uint8_t>(0xFF - i);
  EXPECT_EQ(mPort->PrivStoreImageMetadataHeader(header), QXSTATUS_SUCCESS);
  EXPECT_EQ(OutData(kPrivStoreImageMetadataHeader), Bytes(header, header + 60));
  uint32_t requestStatus = 1;
  EXPECT_EQ(mPort->PrivCheckImageCompatibility(5, requestStatus), QXSTATUS_SUCCESS);
  EXPECT_EQ(requestStatus, 0u);
  uint8_t received[80];
  EXPECT_EQ(mPort->PrivGetUnlockToken(5, received), QXSTATUS_SUCCESS);
  EXPECT_EQ(Bytes(received, received + 80), token);
  uint8_t unlock[32];
  for (uint8_t i = 0; i < 32; ++i) unlock[i] = static_cast<uint8_t>(i + 1);
  EXPECT_EQ(mPort->PrivUnlockTarget(unlock), QXSTATUS_SUCCESS);
  EXPECT_EQ(OutData(kPrivUnlockTarget), Bytes(unlock, unlock + 32));

  const auto requests = Requests(device, mark);
  ASSERT_EQ(requests.size(), 10u);
  ExpectSetup(requests[0], 0x21, kDfuDnload, 7, 2, 100);
  ExpectSetup(requests[1], 0x21, kDfuDnload, 8, 2, 0);
  ExpectSetup(requests[2], 0xA1, kDfuGetStatus, 0, 2, 6);
  ExpectSetup(requests[3], 0x21, kDfuClrStatus, 0, 2, 0);
  ExpectSetup(requests[4], 0xA1, kDfuGetState, 0, 2, 1);
  ExpectSetup(requests[5], 0x21, kDfuAbort, 0, 2, 0);
  ExpectSetup(requests[6], 0x41, 0xD1, 0, 2, 60);
  ExpectSetup(requests[7], 0xC1, 0xD2, 5, 2, 4);
  ExpectSetup(requests[8], 0xC1, 0xD3, 5, 2, 80);
  ExpectSetup(requests[9], 0x41, 0xD4, 0, 2, 32);
  // DFU_DNLOAD waits up to 30 s, every other request up to 5 s.
  const std::vector<int32_t> expectedWaits{30000, 30000, 5000, 5000, 5000, 5000, 5000, 5000, 5000, 5000};
  EXPECT_EQ(mTransport.Waits(), expectedWaits);
  for (const auto& r : Requests(device)) {
    EXPECT_NE(r.bRequest, kDfuUpload) << "no upload is ever sent";
  }
}

TEST_F(DfuDevicePortUsbDfuTest, CompatibilityAnswerMapsIntoTheLibrarysStatusRange) {
  Attach(DfuSpec(0x010F));
  ASSERT_EQ(Open(), QXSTATUS_SUCCESS);
  const std::pair<Bytes, uint32_t> cases[] = {
      {{0x07, 0x40, 0x00, 0x00}, 0xEE000007u},  // only the low 14 bits count
      {{0xFF, 0xFF, 0xFF, 0xFF}, 0xEE003FFFu},
      {{0x00, 0x00, 0x01, 0x00}, 0xEE000000u},  // non-zero, even if nothing is left of it
      {{0x00, 0x00, 0x00, 0x00}, 0u},
  };
  for (const auto& [answer, expected] : cases) {
    Answer(kPrivCheckImageCompatibility, answer);
    uint32_t requestStatus = 12345;
    EXPECT_EQ(mPort->PrivCheckImageCompatibility(1, requestStatus), QXSTATUS_SUCCESS);
    EXPECT_EQ(requestStatus, expected);
  }
}

TEST_F(DfuDevicePortUsbDfuTest, RequestsWithADataStageMustMoveExactlyWLengthBytes) {
  TestLogTarget log;
  sim::SimDevicePtr device = Attach(DfuSpec(0x0110));
  ASSERT_EQ(Open(), QXSTATUS_SUCCESS);

  Answer(kDfuGetStatus, {0, 0, 0, 0, 2});
  uint8_t record[6];
  EXPECT_EQ(mPort->DfuGetStatus(record), QXSTATUS_LENGTH_MISMATCH);
  EXPECT_TRUE(log.Contains("unexpected length 5, exp. 6", kQXLogLevelError)) << log.Dump();

  Answer(kPrivCheckImageCompatibility, {7, 0x40, 0});
  uint32_t requestStatus = 99;
  EXPECT_EQ(mPort->PrivCheckImageCompatibility(0, requestStatus), QXSTATUS_LENGTH_MISMATCH);
  EXPECT_EQ(requestStatus, 0u) << "a short answer must not be taken as a device code";
  EXPECT_TRUE(log.Contains("unexpected length 3, exp. 4"));

  Answer(kPrivGetUnlockToken, Bytes(79, 0x55));
  uint8_t token[80];
  EXPECT_EQ(mPort->PrivGetUnlockToken(0, token), QXSTATUS_LENGTH_MISMATCH);

  Answer(kDfuGetState, {});
  uint8_t state = 7;
  EXPECT_EQ(mPort->DfuGetState(state), QXSTATUS_LENGTH_MISMATCH);
  EXPECT_EQ(state, 0u);

  // A block the device acknowledges without taking its data.
  device->SetRequestHandler([](const sim::SimControlRequestPtr& r) { r->Finish(sim::SimTransferStatus::Success); });
  Bytes block(64, 0x11);
  EXPECT_EQ(mPort->DfuDnload({block.data(), block.size()}, 0), QXSTATUS_LENGTH_MISMATCH);
  EXPECT_TRUE(log.Contains("unexpected length 0, exp. 64"));
  // Requests without a data stage do not look at the count.
  EXPECT_EQ(mPort->DfuClrStatus(), QXSTATUS_SUCCESS);
  EXPECT_EQ(mPort->DfuDnload({nullptr, 0}, 1), QXSTATUS_SUCCESS);
}

TEST_F(DfuDevicePortUsbDfuTest, FailedRequestsReturnTheTransferStatusWithRecordsZeroed) {
  TestLogTarget log;
  sim::SimDevicePtr device = Attach(DfuSpec(0x0111));
  ASSERT_EQ(Open(), QXSTATUS_SUCCESS);
  for (uint8_t r : {kDfuGetStatus, kPrivGetUnlockToken, kDfuAbort, kPrivUnlockTarget}) Stall(r);

  uint8_t record[6];
  std::memset(record, 0xAA, sizeof(record));
  const QXSTATUS st = mPort->DfuGetStatus(record);
  EXPECT_NE(st, QXSTATUS_SUCCESS);
  EXPECT_EQ(Bytes(record, record + 6), Bytes(6, 0));
  EXPECT_TRUE(log.Contains("ClassOrVendorInRequest failed, st=", kQXLogLevelError));
  uint8_t token[80];
  std::memset(token, 0xAA, sizeof(token));
  EXPECT_EQ(mPort->PrivGetUnlockToken(0, token), st);
  EXPECT_EQ(Bytes(token, token + 80), Bytes(80, 0));
  EXPECT_EQ(mPort->DfuAbort(), st);
  const uint8_t unlock[32] = {};
  EXPECT_EQ(mPort->PrivUnlockTarget(unlock), st);
  EXPECT_EQ(log.Count("ClassOrVendorOutRequest failed, st=", kQXLogLevelError), 2u) << log.Dump();

  // A block that does not fit wLength is refused before anything is sent.
  const size_t mark = device->RequestCount();
  static uint8_t big[0x10000];
  EXPECT_EQ(mPort->DfuDnload({big, sizeof(big)}, 0), QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(mPort->DfuDnload({big, (uint64_t{1} << 32) + 16}, 0), QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(mPort->DfuDnload({nullptr, 16}, 0), QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(device->RequestCount(), mark);
}

TEST_F(DfuDevicePortUsbDfuTest, UnansweredRequestTimesOutAndThePortStaysUsable) {
  TestLogTarget log;
  sim::SimDevicePtr device = Attach(DfuSpec(0x0112));
  ASSERT_EQ(Open(), QXSTATUS_SUCCESS);
  mPort->SetTimeouts(150, 250);
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mSilent = {kDfuGetStatus, kDfuDnload};
  }
  uint8_t record[6];
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(mPort->DfuGetStatus(record), QXSTATUS_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
  Bytes block(8, 1);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(mPort->DfuDnload({block.data(), block.size()}, 0), QXSTATUS_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  EXPECT_EQ(device->PendingRequestCount(), 0u) << "a timed-out request is cancelled";

  {
    std::lock_guard<std::mutex> lock(mMutex);
    mSilent.clear();
  }
  Answer(kDfuGetStatus, {0, 0, 0, 0, kDfuStateDfuIdle, 0});
  EXPECT_EQ(mPort->DfuGetStatus(record), QXSTATUS_SUCCESS);
  EXPECT_EQ(record[4], kDfuStateDfuIdle);
}

TEST_F(DfuDevicePortUsbDfuTest, UnpluggedDeviceFailsRequestsWithoutHanging) {
  sim::SimDevicePtr device = Attach(DfuSpec(0x0113));
  ASSERT_EQ(Open(), QXSTATUS_SUCCESS);
  ASSERT_TRUE(sim::VirtualUsbBus::Instance().Detach(device->Id()));
  uint8_t record[6];
  EXPECT_NE(mPort->DfuGetStatus(record), QXSTATUS_SUCCESS);
  Bytes block(16, 2);
  EXPECT_NE(mPort->DfuDnload({block.data(), block.size()}, 0), QXSTATUS_SUCCESS);
  // Without the device even the alternate setting cannot be selected.
  EXPECT_NE(mPort->RebootDevice(QXDFU_RUN_MODE_APPLICATION, 0), QXSTATUS_SUCCESS);
}

TEST_F(DfuDevicePortUsbDfuTest, PortReleasesEveryHandleWhenDestroyed) {
  const size_t before = sim::SimWinusbDrvApi::Instance().OpenHandleCount();
  Attach(DfuSpec(0x0114));
  ASSERT_EQ(Open(), QXSTATUS_SUCCESS);
  EXPECT_GT(sim::SimWinusbDrvApi::Instance().OpenHandleCount(), before);
  mPort.reset();
  EXPECT_EQ(sim::SimWinusbDrvApi::Instance().OpenHandleCount(), before);

  // A port whose open failed after the claim is released as well.
  sim::SimDeviceSpec spec = DfuSpec(0x0115);
  spec.rawConfigurationDescriptors = {Configuration({Interface(0, 0)}, 1)};
  Attach(spec);
  EXPECT_EQ(Open(1), QXSTATUS_INVALID_DESCRIPTOR);
  mPort.reset();
  EXPECT_EQ(sim::SimWinusbDrvApi::Instance().OpenHandleCount(), before);
}

TEST_F(DfuDevicePortUsbDfuTest, CompareDeviceInstanceTakesOnlyAUsbDfuPort) {
  TestLogTarget log;
  Attach(DfuSpec(0x0116));
  Attach(DfuSpec(0x0117));
  ASSERT_EQ(Open(1), QXSTATUS_SUCCESS);
  DfuEnumeratorPortInterface* enumeratorPort = mEnumeratorPort.get();
  EXPECT_EQ(enumeratorPort->CompareDeviceInstance(1, mPort.get()), QXSTATUS_SUCCESS);
  EXPECT_EQ(enumeratorPort->CompareDeviceInstance(0, mPort.get()), QXSTATUS_NO_MATCH);
  EXPECT_EQ(enumeratorPort->CompareDeviceInstance(2, mPort.get()), QXSTATUS_INVALID_INDEX);
  EXPECT_TRUE(log.Contains("invalid deviceIndex 2"));

  OtherDevicePort other;
  EXPECT_EQ(enumeratorPort->CompareDeviceInstance(0, &other), QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(enumeratorPort->CompareDeviceInstance(0, nullptr), QXSTATUS_INVALID_PARAMETER);
  EXPECT_EQ(log.Count("invalid device type", kQXLogLevelError), 2u);
  // An unopened port recorded no instance id and matches nothing.
  DfuDevicePortUsbDfu unopened;
  EXPECT_EQ(enumeratorPort->CompareDeviceInstance(0, &unopened), QXSTATUS_NO_MATCH);
}

TEST(DfuProtocolTest, StateAndStatusTextsAndTheStatusRecord) {
  EXPECT_STREQ(DfuStateText(0), "appIDLE");
  EXPECT_STREQ(DfuStateText(kDfuStateManifestWaitReset), "dfuMANIFEST_WAIT_RESET");
  EXPECT_STREQ(DfuStateText(10), "dfuERROR");
  EXPECT_STREQ(DfuStateText(11), "unknown");
  EXPECT_STREQ(DfuStateText(255), "unknown");
  EXPECT_STREQ(DfuStatusText(0), "dfu_OK");
  EXPECT_STREQ(DfuStatusText(kDfuStatusErrVerify), "errVERIFY");
  EXPECT_STREQ(DfuStatusText(15), "errSTALLEDPKT");
  EXPECT_STREQ(DfuStatusText(16), "unknown");

  const uint8_t raw[6] = {kDfuStatusErrWrite, 0x01, 0x02, 0x03, kDfuStateError, 9};
  const DfuGetStatusRecord record = DecodeDfuGetStatusRecord(raw);
  EXPECT_EQ(record.bStatus, kDfuStatusErrWrite);
  EXPECT_EQ(record.bwPollTimeout, 0x030201u);
  EXPECT_EQ(record.bState, kDfuStateError);
  EXPECT_EQ(record.iString, 9);
  uint8_t encoded[6] = {};
  EncodeDfuGetStatusRecord(record, encoded);
  EXPECT_EQ(Bytes(encoded, encoded + 6), Bytes(raw, raw + 6));
}

}  // namespace
}  // namespace plendrik
