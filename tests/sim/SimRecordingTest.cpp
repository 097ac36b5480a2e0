// Reading recordings: the strict JSON line reader, the header's format and version check with
// its messages, and how records become a device's identities and ordered steps.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "discovery/EnumerationTestBus.h"
#include "sim/SimJson.h"
#include "sim/SimRecording.h"
#include "sim/SimReplayModel.h"
#include "sim/VirtualUsbBus.h"
#include "support/RecordingBuilder.h"

namespace plendrik::sim {
namespace {

using fbtest::RecordedNode;
using fbtest::RecordedTransfer;
using fbtest::RecordingBuilder;
using fbtest::SetupHex;

// ---- JSON ----

TEST(SimJson, ReadsEveryKindOfValue) {
  const SimJsonResult r =
      ParseSimJson(R"( {"s":"a\"b\\c\/\n\u00e9\ud83d\ude00","n":-9223372036854775808,"m":9223372036854775807,)"
                   R"("l":[true,false,null,{}],"o":{"k":[]}} )");
  ASSERT_TRUE(r.value) << r.error;
  EXPECT_EQ(r.value->GetString("s"), "a\"b\\c/\n\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(r.value->GetInteger("n"), INT64_MIN);
  EXPECT_EQ(r.value->GetInteger("m"), INT64_MAX);
  const SimJsonValue* list = r.value->Find("l");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->Items().size(), 4u);
  EXPECT_TRUE(list->Items()[0].AsBool());
  EXPECT_TRUE(list->Items()[2].IsNull());
  EXPECT_EQ(list->Items()[3].GetKind(), SimJsonValue::Kind::Object);
  EXPECT_EQ(r.value->GetString("n"), std::nullopt);  // of another kind
}

struct JsonErrorCase {
  const char* text;
  size_t column;
  const char* error;
};

class SimJsonErrors : public ::testing::TestWithParam<JsonErrorCase> {};

TEST_P(SimJsonErrors, NameTheColumn) {
  const SimJsonResult r = ParseSimJson(GetParam().text);
  EXPECT_FALSE(r.value);
  EXPECT_EQ(r.column, GetParam().column) << r.error;
  EXPECT_EQ(r.error, GetParam().error);
}

const JsonErrorCase kJsonErrors[] = {
    {"", 1, "a value is missing"},
    {R"({"a":1,})", 8, "expected a member name in quotes"},
    {R"({"a" 1})", 6, "expected ':'"},
    {"[1 2]", 4, "expected ',' or ']'"},
    {R"({"a":1 "b":2})", 8, "expected ',' or '}'"},
    {"1.5", 2, "only whole numbers are allowed"},
    {"1e3", 2, "only whole numbers are allowed"},
    {"012", 1, "a number with a leading zero"},
    {"9223372036854775808", 1, "a number out of range"},
    {"-", 1, "unexpected character"},
    {R"("abc)", 5, "a string without its closing quote"},
    {R"("a\x")", 3, "an unknown escape"},
    {R"("\u12")", 4, "\\u needs four hex digits"},
    {R"("\ud800x")", 2, "a high surrogate without its low surrogate"},
    {R"("\udc00")", 2, "a low surrogate without its high surrogate"},
    {"\"a\tb\"", 3, "a control character in a string"},
    {"tru", 1, "unknown literal"},
    {R"({"a":1}x)", 8, "unexpected text after the value"},
    {R"({"a":1,"a":2})", 8, "member \"a\" given twice"},
    {"[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]", 34, "nested deeper than 32"},
};

INSTANTIATE_TEST_SUITE_P(Table, SimJsonErrors, ::testing::ValuesIn(kJsonErrors));

// ---- the header ----

struct RefusalCase {
  const char* name;
  std::string text;
  std::string error;
};

class SimRecordingRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(SimRecordingRefusal, NamesFileRecordAndReason) {
  const SimRecordingResult r = ParseSimRecording(GetParam().text, "field.jsonl");
  EXPECT_EQ(r.recording, nullptr);
  EXPECT_EQ(r.error, GetParam().error);
}

const std::string kNotRecording =
    "record 1: not a flashbridge recording (its first record has no \"format\": \"flashbridge-recording\")";

const RefusalCase kRefusals[] = {
    {"Newer", RecordingBuilder(2).Text(),
     "field.jsonl: record 1: recording format version 2 is newer than this library reads (supported: 1)"},
    {"Older", RecordingBuilder(0).Text(),
     "field.jsonl: record 1: recording format version 0 is older than the oldest this library reads (supported: 1)"},
    {"OtherFormat", RecordingBuilder(1, "virtual-bus", "someone-elses-log").Text(), "field.jsonl: " + kNotRecording},
    {"NoHeader", "{\"type\":\"note\",\"t\":0,\"text\":\"hello\"}\n", "field.jsonl: " + kNotRecording},
    {"NotAnObject", "[1,2]\n",
     "field.jsonl: record 1: not a flashbridge recording (its first record is not a JSON object)"},
    {"NoVersion", "{\"type\":\"header\",\"format\":\"flashbridge-recording\"}\n",
     "field.jsonl: record 1: the header has no whole-number \"version\" (supported: 1)"},
    {"Empty", "", "field.jsonl: the file is empty, not a recording"},
    {"BrokenLine", RecordingBuilder().Text() + "{\"type\":\"note\"}\n{\"type\":\"note\",\"t\":}\n",
     "field.jsonl: record 3: column 20: unexpected character"},
    {"BlankLine", RecordingBuilder().Text() + "\n", "field.jsonl: record 2: column 1: a value is missing"},
    {"RecordWithoutType", RecordingBuilder().Text() + "{\"t\":1}\n", "field.jsonl: record 2: no \"type\""},
    {"ShortSetup",
     RecordingBuilder().Text() + "{\"type\":\"transfer\",\"device\":\"d1\",\"setup\":\"a103\",\"result\":0}\n",
     "field.jsonl: record 2: a transfer needs \"setup\" with 8 bytes in hex"},
};

INSTANTIATE_TEST_SUITE_P(Table, SimRecordingRefusal, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SimRecording, LoadNamesAFileItCannotOpen) {
  EXPECT_EQ(LoadSimRecording("no/such/recording.jsonl").error, "no/such/recording.jsonl: cannot open the recording");
}

// ---- devices, identities and steps ----

const char* kGuid = "{6e45736a-2b1b-4078-b772-b3af2b6fde1c}";
const char* kContainer = "{8c1a0a51-2e6f-4b7d-9a00-00000000c0de}";

RecordedNode Node(uint16_t pid, const char* serial, std::optional<uint8_t> function = std::nullopt) {
  RecordedNode node = fbtest::DeviceNode(0x1209, pid, serial, kGuid, 0x0200, function);
  node.container = kContainer;
  return node;
}

TEST(SimRecording, RecordsBecomeIdentitiesAndOrderedSteps) {
  RecordingBuilder b;
  const RecordedNode app = Node(0x5C01, "SER1");
  const RecordedNode boot = Node(0x5C02, "SER1");
  const size_t arrival = b.Arrival(10, "d1", app);
  b.Arrival(11, "d2", Node(0x7777, "OTHER"));
  b.Open(20, "d1", app.path, 1);
  b.Claim(21, "d1", 1, 2);
  const std::vector<uint8_t> config(27, 0x09);
  b.Descriptor(22, "d1", 2, 2, 0, 0, 9, std::vector<uint8_t>(config.begin(), config.begin() + 9));
  b.Descriptor(23, "d1", 2, 2, 0, 0, 27, config);
  b.Descriptor(24, "d1", 2, 3, 3, 0x0409, 255, {0x0A, 0x03, 'S', 0, 'E', 0, 'R', 0, '1', 0});
  b.AltSetting(25, "d1", 2, 1, 31);
  b.Note(26, "unknown keys and records are ignored");
  b.Raw("{\"type\":\"future-record\",\"t\":27,\"device\":\"d1\",\"shape\":{\"x\":[1,2]}}");
  const size_t detach = b.Transfer(RecordedTransfer{30, 40, "d1", 2, SetupHex(0x21, 0x00, 1000, 0, 0)});
  RecordedTransfer refused{41, 41, "d1", 2, SetupHex(0xA1, 0x03, 0, 0, 6)};
  refused.result = 1167;
  refused.submitError = true;
  // Never reached the device: it had left the bus, which the removal step shows from here on
  // (the listing that saw the removal comes later).
  const size_t removal = b.Transfer(refused);
  b.Removal(50, "d1", app.path);
  const size_t arrival2 = b.Arrival(60, "d1", boot);
  // Refused on a handle of the identity the device has left: no further removal.
  refused.tSubmit = refused.tComplete = 60;
  b.Transfer(refused);
  b.Open(61, "d1", boot.path, 3);
  b.Claim(62, "d1", 3, 4);
  b.Timeout(70, "d1", 4, 300);
  b.Cancel(71, "d1", 4);
  RecordedTransfer lost{65, 72, "d1", 4, SetupHex(0xA1, 0x03, 0, 0, 6)};
  lost.result = 995;
  const size_t status = b.Transfer(lost);
  const size_t reset = b.Reset(80, "d1", 4);
  // The handle went with the reset: its refusal is no removal.
  refused.handle = 4;
  refused.tSubmit = refused.tComplete = 81;
  b.Transfer(refused);

  const SimRecordingResult r = ParseSimRecording(b.Text(), "made.jsonl");
  ASSERT_NE(r.recording, nullptr) << r.error;
  EXPECT_EQ(r.recording->backend, "virtual-bus");
  ASSERT_EQ(r.recording->devices.size(), 2u);
  const SimRecordedDevice* d1 = r.recording->FindDevice("");
  ASSERT_NE(d1, nullptr);
  EXPECT_EQ(d1->label, "d1");
  EXPECT_EQ(r.recording->FindDevice("d2")->steps.size(), 1u);

  using Kind = SimRecordedStep::Kind;
  std::vector<std::pair<Kind, size_t>> steps;
  for (const SimRecordedStep& s : d1->steps) steps.emplace_back(s.kind, s.record);
  const std::vector<std::pair<Kind, size_t>> expected{{Kind::Arrival, arrival}, {Kind::Transfer, detach},
                                                      {Kind::Removal, removal}, {Kind::Arrival, arrival2},
                                                      {Kind::Transfer, status}, {Kind::Reset, reset}};
  EXPECT_EQ(steps, expected);
  EXPECT_TRUE(d1->steps[4].noAnswer);  // the host gave it up: the device never answered
  EXPECT_FALSE(d1->steps[1].noAnswer);
  EXPECT_EQ(d1->steps[2].path, app.path);
  // The removal keeps the request that was refused, which a replay lets come just before it.
  EXPECT_TRUE(d1->steps[2].refused);
  EXPECT_EQ(SimSetupHex(d1->steps[2].setup), refused.setup);

  ASSERT_EQ(d1->identities.size(), 2u);
  const SimRecordedIdentity& first = d1->identities[0];
  EXPECT_EQ(first.configurationDescriptors.at(0), config);  // the longest answer
  ASSERT_EQ(first.altSettings.size(), 1u);
  EXPECT_EQ(first.altSettings[0].first, 1u);
  EXPECT_EQ(first.altSettings[0].second.result, 31u);
  EXPECT_TRUE(d1->identities[1].configurationDescriptors.empty());  // read on the first node only

  const SimDeviceSpec spec = first.Spec();
  EXPECT_EQ(spec.vendorId, 0x1209);
  EXPECT_EQ(spec.productId, 0x5C01);
  EXPECT_EQ(spec.bcdDevice, 0x0200);
  EXPECT_EQ(spec.rawConfigurationDescriptors, std::vector<std::vector<uint8_t>>{config});
  EXPECT_EQ(spec.rawStringDescriptors.count({3, 0x0409}), 1u);
  EXPECT_EQ(spec.identity.hardwareIds,
            (std::vector<QXWString>{QXW("USB\\VID_1209&PID_5C01&REV_0200"), QXW("USB\\VID_1209&PID_5C01")}));
  EXPECT_EQ(SimNarrow(spec.identity.instanceSuffix), "SER1");
  ASSERT_TRUE(spec.identity.containerId.has_value());
  EXPECT_EQ(spec.identity.containerId->ToString(), "{8C1A0A51-2E6F-4B7D-9A00-00000000C0DE}");
  // The bus lists the replayed device under the recorded identity and path.
  const std::vector<SimDeviceListEntry> entries = BuildSimDeviceListEntries(42, spec);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(SimNarrow(entries[0].interfacePath), app.path);
  EXPECT_EQ(SimNarrow(entries[0].instanceId), app.instance);
}

// The recorder writes null for what a failed call never gave (a file, a handle) and for a
// device it cannot name; such records are read and leave the device's steps alone.
TEST(SimRecording, RecordsWithNullsFromFailedCallsAreRead) {
  RecordingBuilder b;
  const RecordedNode boot = Node(0x5C02, "SER1");
  b.Arrival(10, "d1", boot);
  b.Raw("{\"type\":\"open\",\"t\":11,\"device\":\"d1\",\"path\":" + fbtest::Quote(boot.path) +
        ",\"result\":5,\"file\":null}");
  b.Raw("{\"type\":\"open\",\"t\":12,\"device\":null,\"path\":\"\\\\\\\\?\\\\gone\",\"result\":2,\"file\":null}");
  b.Open(13, "d1", boot.path, 1);
  b.Raw("{\"type\":\"claim\",\"t\":14,\"device\":\"d1\",\"file\":1,\"result\":31,\"handle\":null}");
  b.Claim(15, "d1", 1, 2);
  b.Raw("{\"type\":\"release\",\"t\":16,\"device\":null,\"handle\":null,\"result\":6}");
  b.Raw(
      "{\"type\":\"transfer\",\"t_submit\":17,\"t_complete\":17,\"device\":null,\"handle\":null,"
      "\"setup\":\"a103000000000600\",\"in\":\"\",\"result\":6,\"transferred\":0,\"submit_error\":true}");
  const size_t status = b.Transfer(
      RecordedTransfer{18, 19, "d1", 2, SetupHex(0xA1, 0x03, 0, 0, 6), {}, false, std::nullopt, {0, 0, 0, 0, 2, 0}});
  const SimRecordingResult r = ParseSimRecording(b.Text(), "nulls.jsonl");
  ASSERT_NE(r.recording, nullptr) << r.error;
  ASSERT_EQ(r.recording->devices.size(), 1u);
  const SimRecordedDevice& d1 = r.recording->devices[0];
  ASSERT_EQ(d1.steps.size(), 2u);
  EXPECT_EQ(d1.steps[1].record, status);
}

// The system may give the bootloader another container than the application: the recorder
// then labels it another device, which is still the one whose run-mode switch is replayed.
TEST(SimRecording, RunModesInOtherContainersAreOneDevice) {
  RecordingBuilder b;
  RecordedNode app = Node(0x5C01, "SER1");
  RecordedNode boot = Node(0x5C02, "SER1");
  boot.container = "{8c1a0a51-2e6f-4b7d-9a00-00000000beef}";
  b.Arrival(10, "d1", app);
  b.Arrival(11, "d2", Node(0x5C02, "SER2"));  // another device of the product
  b.Arrival(20, "d3", boot);
  b.Removal(21, "d1", app.path);
  const SimRecordingResult r = ParseSimRecording(b.Text(), "containers.jsonl");
  ASSERT_NE(r.recording, nullptr) << r.error;
  ASSERT_EQ(r.recording->devices.size(), 2u);
  const SimRecordedDevice* d1 = r.recording->FindDevice("d1");
  ASSERT_NE(d1, nullptr);
  EXPECT_EQ(r.recording->FindDevice("d3"), d1);
  EXPECT_EQ(d1->otherLabels, std::vector<std::string>{"d3"});
  ASSERT_EQ(d1->identities.size(), 2u);
  EXPECT_EQ(d1->identities[1].nodes.front().instance, boot.instance);
  EXPECT_EQ(d1->steps.size(), 3u);  // arrival, arrival of the bootloader, removal of the application
  EXPECT_EQ(r.recording->FindDevice("d2")->identities.size(), 1u);
}

TEST(SimRecording, FunctionsListedTogetherAreOneCompositeArrival) {
  RecordingBuilder b;
  // As Windows numbers a composite parent's children, and as the libusb stack names them.
  const RecordedNode functions[] = {Node(0x5D01, "6&1A2B0001&0&0000", 0), Node(0x5D01, "SER1&0002", 2)};
  for (const RecordedNode& node : functions) b.Arrival(1, "d1", node);
  const SimRecordingResult r = ParseSimRecording(b.Text(), "composite.jsonl");
  ASSERT_NE(r.recording, nullptr) << r.error;
  const SimRecordedDevice& d = r.recording->devices.at(0);
  ASSERT_EQ(d.identities.size(), 1u);
  EXPECT_EQ(d.steps.size(), 1u);
  const SimDeviceSpec spec = d.identities[0].Spec();
  EXPECT_TRUE(spec.identity.composite);
  EXPECT_EQ(spec.identity.compositeInterfaces, (std::vector<uint8_t>{0, 2}));
  // Each function is listed under its recorded instance identifier and path.
  const std::vector<SimDeviceListEntry> entries = BuildSimDeviceListEntries(7, spec);
  ASSERT_EQ(entries.size(), 2u);
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(SimNarrow(entries[i].instanceId), functions[i].instance);
    EXPECT_EQ(SimNarrow(entries[i].interfacePath), functions[i].path);
  }
}

// A recording made with inline data holds the image itself; one by digest does not.
TEST(SimRecording, InlineImageIsRebuiltFromTheBlocksAtTheirOffsets) {
  for (const bool digest : {false, true}) {
    RecordingBuilder b;
    b.Arrival(0, "d1", Node(0x5C02, "SER1"));
    const std::vector<std::vector<uint8_t>> blocks{{1, 2, 3}, {4, 5, 6}, {7}};
    for (uint16_t i = 0; i < blocks.size(); ++i) {
      RecordedTransfer x{10 + i, 11 + i, "d1", 2, SetupHex(0x21, 0x01, i, 0, static_cast<uint16_t>(blocks[i].size()))};
      x.out = blocks[i];
      x.outByDigest = digest;
      x.offset = 3u * i;
      b.Transfer(x);
    }
    b.Transfer(RecordedTransfer{20, 21, "d1", 2, SetupHex(0x21, 0x01, 3, 0, 0)});
    const SimRecordingResult r = ParseSimRecording(b.Text(), "inline.jsonl");
    ASSERT_NE(r.recording, nullptr) << r.error;
    const std::optional<std::vector<uint8_t>> image = r.recording->devices.at(0).InlineImage();
    if (digest) {
      EXPECT_FALSE(image.has_value());
    } else {
      EXPECT_EQ(image, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7}));
    }
  }
}

// ---- damaged and hostile recordings ----

// What a user might send in: each is refused with the record that is wrong, or read into
// devices whose descriptions, images and replays are safe to build.
struct HostileCase {
  const char* name;
  std::string text;
  std::string error;  // empty: read
};

class SimRecordingHostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(SimRecordingHostile, IsRefusedOrReadSafely) {
  const SimRecordingResult r = ParseSimRecording(GetParam().text, "field.jsonl");
  EXPECT_EQ(r.error, GetParam().error);
  if (!r.recording) return;
  for (const SimRecordedDevice& device : r.recording->devices) {
    if (const std::optional<std::vector<uint8_t>> image = device.InlineImage()) {
      EXPECT_LE(image->size(), kSimRecordingMaxImageOffset + 0x10000);
    }
    for (const SimRecordedIdentity& identity : device.identities) {
      (void)BuildSimDeviceListEntries(1, identity.Spec());
    }
    if (!SimReplayModel::Check(*r.recording, device.label).empty()) continue;
    const SimReplayModelPtr model = SimReplayModel::Create(VirtualUsbBus::Instance(), r.recording, device.label,
                                                           SimReplayLatency::Recorded);
    ASSERT_NE(model, nullptr);
    EXPECT_TRUE(model->Plug());
    model->Unplug();
  }
  VirtualUsbBus::Instance().DetachAll();
}

RecordingBuilder TransferWithoutArrival() {
  RecordingBuilder b;
  const RecordedNode node = Node(0x5C02, "SER1");
  b.Transfer(RecordedTransfer{1, 2, "d", 2, SetupHex(0xA1, 0x03, 0, 0, 6)});
  b.Open(3, "d", node.path, 1);
  b.Claim(4, "d", 1, 2);
  RecordedTransfer refused{5, 5, "d", 2, SetupHex(0xA1, 0x03, 0, 0, 6)};
  refused.result = 1167;
  refused.submitError = true;
  b.Transfer(refused);
  return b;
}

RecordingBuilder FunctionWithoutNumber() {
  RecordingBuilder b;
  RecordedNode node = Node(0x5C02, "SER1");
  node.hardwareIds = {"USB\\VID_1209&PID_5C02&MI_"};
  b.Arrival(1, "d1", node);
  node.path += "x";
  node.hardwareIds = {"USB\\VID_1209&PID_5C02&MI_z"};
  b.Arrival(1, "d1", node);
  return b;
}

RecordingBuilder DownloadAt(uint64_t offset) {
  RecordingBuilder b;
  b.Arrival(1, "d1", Node(0x5C02, "SER1"));
  RecordedTransfer block{2, 3, "d1", 2, SetupHex(0x21, 0x01, 0, 0, 1)};
  block.out = {0x5A};
  block.offset = offset;
  b.Transfer(block);
  return b;
}

RecordingBuilder TimesAtTheEndsOfTheClock() {
  RecordingBuilder b;
  const RecordedNode node = Node(0x5C02, "SER1");
  b.Arrival(INT64_MIN, "d1", node);
  b.Removal(INT64_MAX, "d1", node.path);
  b.Arrival(INT64_MIN, "d1", node);
  b.Transfer(RecordedTransfer{INT64_MIN, INT64_MAX, "d1", 2, SetupHex(0xA1, 0x03, 0, 0, 6)});
  return b;
}

const HostileCase kHostile[] = {
    {"TransferWithoutArrival", TransferWithoutArrival().Text(), ""},
    {"FunctionWithoutNumber", FunctionWithoutNumber().Text(), ""},
    {"OffsetAtTheLimit", DownloadAt(kSimRecordingMaxImageOffset).Text(), ""},
    {"OffsetBeyondAnyImage", DownloadAt(4294967295u).Text(),
     "field.jsonl: record 3: \"offset\" 4294967295 lies beyond the largest image a replay takes (67108864 bytes)"},
    {"OutBeyondAControlTransfer",
     RecordingBuilder().Text() + "{\"type\":\"transfer\",\"device\":\"d1\",\"setup\":\"2101000000000000\","
                                 "\"result\":0,\"out\":\"" + std::string(2 * 0x10000, '0') + "\"}\n",
     "field.jsonl: record 2: \"out\" holds more than a control transfer carries"},
    {"TimesAtTheEndsOfTheClock", TimesAtTheEndsOfTheClock().Text(), ""},
};

INSTANTIATE_TEST_SUITE_P(Table, SimRecordingHostile, ::testing::ValuesIn(kHostile),
                         [](const auto& info) { return std::string(info.param.name); });

// A read the host gave up on (time-out 121, cancelled 995) was never answered by the device,
// however it was recorded; other failures were answers (a stall).
TEST(SimRecording, StandardRequestsGivenUpOnWereNeverAnswered) {
  for (const uint32_t result : {0u, 31u, 121u, 995u}) {
    RecordingBuilder b;
    b.Arrival(1, "d1", Node(0x5C02, "SER1"));
    b.Descriptor(2, "d1", 2, 3, 3, 0x0409, 255, {}, result);
    RecordedTransfer read{3, 4, "d1", 2, SetupHex(0x80, 0x06, 0x0304, 0x0409, 255)};
    read.result = result;
    b.Transfer(read);
    b.AltSetting(5, "d1", 2, 1, result);
    const SimRecordingResult r = ParseSimRecording(b.Text(), "given-up.jsonl");
    ASSERT_NE(r.recording, nullptr) << r.error;
    const SimRecordedIdentity& identity = r.recording->devices.at(0).identities.at(0);
    const bool unanswered = result == 121 || result == 995;
    ASSERT_EQ(identity.standard.size(), 2u);
    EXPECT_EQ(identity.standard[0].noAnswer, unanswered) << "descriptor record, result " << result;
    EXPECT_EQ(identity.standard[1].noAnswer, unanswered) << "transfer record, result " << result;
    EXPECT_EQ(identity.altSettings.at(0).second.noAnswer, unanswered) << "alt_setting record, result " << result;
  }
}

TEST(SimRecording, Crc32IsZlibs) {
  const std::string text = "123456789";
  EXPECT_EQ(SimCrc32(reinterpret_cast<const uint8_t*>(text.data()), text.size()), 0xCBF43926u);
  EXPECT_EQ(fbtest::Crc32(std::vector<uint8_t>(text.begin(), text.end())), 0xCBF43926u);
}

}  // namespace
}  // namespace plendrik::sim
