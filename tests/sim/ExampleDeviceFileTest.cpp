// The example device file and the edits README suggests: each edit of an existing line gives
// a file that still loads (a tip added as a second line of the same key would not).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "sim/SimDeviceFile.h"

namespace plendrik::sim {
namespace {

std::string ExampleText() {
  std::ifstream file(FB_EXAMPLE_DEVICE_FILE, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// The text with the first occurrence of a whole line replaced; empty when the line is missing.
std::string WithLineReplaced(const std::string& text, const std::string& from, const std::string& to) {
  const std::string line = "\n" + from + "\n";
  const size_t at = text.find(line);
  if (at == std::string::npos) {
    return std::string();
  }
  return text.substr(0, at + 1) + to + text.substr(at + line.size() - 1);
}

bool HasFault(const SimDeviceFileResult& result, SimDfuFaultAction action) {
  for (const SimDfuFault& fault : result.dfuDevices.front()->config.faults) {
    if (fault.action == action) return true;
  }
  return false;
}

struct Edit {
  const char* from;
  const char* to;
  bool (*takesEffect)(const SimDeviceFileResult&);
};

TEST(ExampleDeviceFile, LoadsAsShippedAndWithEachSuggestedEdit) {
  const std::string text = ExampleText();
  ASSERT_FALSE(text.empty()) << FB_EXAMPLE_DEVICE_FILE;
  const SimGuid guid;
  const SimDeviceFileResult shipped = ParseSimDeviceFile(text, guid);
  ASSERT_TRUE(shipped.ok) << shipped.error;
  ASSERT_EQ(shipped.specs.size(), 1u);
  ASSERT_TRUE(shipped.dfuDevices.front().has_value());
  EXPECT_EQ(shipped.dfuDevices.front()->config.startMode, SimRunMode::Application);
  EXPECT_TRUE(shipped.dfuDevices.front()->config.faults.empty());

  const Edit edits[] = {
      {"RunMode = application", "RunMode = bootloader",
       [](const SimDeviceFileResult& r) { return r.dfuDevices.front()->config.startMode == SimRunMode::Bootloader; }},
      {"StayOnBusAfterDetach = no", "StayOnBusAfterDetach = yes",
       [](const SimDeviceFileResult& r) { return HasFault(r, SimDfuFaultAction::StayOnBus); }},
      {";ErrorAtBlock = 40", "ErrorAtBlock = 40",
       [](const SimDeviceFileResult& r) { return HasFault(r, SimDfuFaultAction::DfuError); }},
      {";NoAnswerAtBlock = 10", "NoAnswerAtBlock = 10",
       [](const SimDeviceFileResult& r) { return HasFault(r, SimDfuFaultAction::NoAnswer); }},
  };
  for (const Edit& edit : edits) {
    SCOPED_TRACE(edit.to);
    const std::string edited = WithLineReplaced(text, edit.from, edit.to);
    ASSERT_FALSE(edited.empty()) << "the example has no line '" << edit.from << "'";
    const SimDeviceFileResult result = ParseSimDeviceFile(edited, guid);
    ASSERT_TRUE(result.ok) << result.error;
    ASSERT_TRUE(result.dfuDevices.front().has_value());
    EXPECT_TRUE(edit.takesEffect(result));
  }
  // The trap the edits avoid: the same key added as a new line rejects the whole file.
  const SimDeviceFileResult added = ParseSimDeviceFile(text + "RunMode = bootloader\n", guid);
  EXPECT_FALSE(added.ok);
  EXPECT_NE(added.error.find("given twice"), std::string::npos) << added.error;
}

}  // namespace
}  // namespace plendrik::sim
