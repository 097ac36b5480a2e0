// The [Recording] keys as the configuration file gives them: the recording's path (relative to
// the configuration's folder, %VAR% expanded, absolute as written) and the two options.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "os/QXOsString.h"
#include "record/QXRecordingConfig.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace plendrik {
namespace {

struct SettingsCase {
  friend void PrintTo(const SettingsCase& c, std::ostream* os) { *os << c.name; }
  const char* name;
  const char* section;  // the [Recording] lines
  bool recording;       // a file is named
  const char* file;     // expected path (UTF-8)
  bool inlineData;
  bool pseudonyms;
};

#if defined(_WIN32)
#define FB_CONFIG_FOLDER "C:\\cfg\\"
#define FB_ABSOLUTE "D:\\rec\\s.jsonl"
#else
#define FB_CONFIG_FOLDER "/cfg/"
#define FB_ABSOLUTE "/rec/s.jsonl"
#endif

class RecordingSettings : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(RecordingSettings, AreReadFromTheSection) {
#if defined(_WIN32)
  SetEnvironmentVariableA("FB_RECORDING_DIR", "E:\\env");
#else
  setenv("FB_RECORDING_DIR", "/env", 1);
#endif
  const SettingsCase& c = GetParam();
  const std::string text = std::string("[Recording]\n") + c.section;
  QXIniDocument document;
  ASSERT_TRUE(document.Parse(text.data(), text.size()));
  QXRecordingSettings settings;
  ASSERT_EQ(QXReadRecordingSettings(document, QXUtf8ToUtf16(FB_CONFIG_FOLDER "flashbridge.config.ini"), settings),
            c.recording);
  if (c.recording) {
    EXPECT_EQ(QXUtf16ToUtf8(settings.file), c.file);
    EXPECT_EQ(settings.inlineData, c.inlineData);
    EXPECT_EQ(settings.pseudonyms, c.pseudonyms);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Keys, RecordingSettings,
    ::testing::Values(
        SettingsCase{"RelativeToTheConfiguration", "File=s.jsonl\n", true, FB_CONFIG_FOLDER "s.jsonl", false, false},
        SettingsCase{"Absolute", "File=" FB_ABSOLUTE "\nInlineData=no\nPseudonyms=No\n", true, FB_ABSOLUTE, false,
                     false},
#if defined(_WIN32)
        SettingsCase{"EnvironmentExpanded", "File=%FB_RECORDING_DIR%\\s.jsonl\nInlineData=YES\nPseudonyms=on\n", true,
                     "E:\\env\\s.jsonl", true, true},
#else
        SettingsCase{"EnvironmentExpanded", "File=%FB_RECORDING_DIR%/s.jsonl\nInlineData=YES\nPseudonyms=on\n", true,
                     "/env/s.jsonl", true, true},
#endif
        SettingsCase{"OptionsAlone", "InlineData=yes\nPseudonyms=yes\n", false, "", false, false},
        SettingsCase{"BlankFile", "File=   \n", false, "", false, false},
        SettingsCase{"UnknownWordIsNo", "File=s.jsonl\nInlineData=sometimes\nPseudonyms=1\n", true,
                     FB_CONFIG_FOLDER "s.jsonl", false, true}),
    [](const ::testing::TestParamInfo<SettingsCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace plendrik
