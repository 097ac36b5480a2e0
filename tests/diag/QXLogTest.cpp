// Log lines: function names, prefixes, level filtering per logger, the file target with its
// backup and rotation, and the ETW target.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "api/DfuApi.h"
#include "diag/QXDebugPrintf.h"
#include "diag/QXIniFile.h"
#include "diag/QXLog.h"
#include "diag/QXLogConfigurationIniFile.h"
#include "diag/QXLogTargetEtw.h"
#include "diag/QXLogTargetLogFile.h"
#include "os/QXOsSystem.h"
#include "support/TempDir.h"
#include "support/TestLogTarget.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace plendrik {
namespace {

struct Sample {
  void Method() { QX_LOG_INFO("value={}", 42); }
  template <class T>
  void Templated(T) {
    QX_LOG_INFO("t");
  }
};

class DebugCapture {
 public:
  DebugCapture() {
    QXOsSetDebugOutputObserver([this](const char* text) { lines.emplace_back(text); });
  }
  ~DebugCapture() { QXOsSetDebugOutputObserver(nullptr); }
  std::vector<std::string> lines;
};

class EtwCapture {
 public:
  EtwCapture() {
    QXEtwSetObserver([this](const QXEtwEventDescriptor& d, const char* text) {
      lines.emplace_back(text);
      ids.push_back(d.id);
    });
    gLogTargets.Etw.StartTarget(nullptr);
  }
  ~EtwCapture() {
    gLogTargets.Etw.StopTarget();
    QXEtwSetObserver(nullptr);
  }
  std::vector<std::string> lines;
  std::vector<uint16_t> ids;
};

// Reads an ini text into a logging configuration.
class IniConfiguration {
 public:
  explicit IniConfiguration(const std::string& text) : configuration(document) {
    EXPECT_TRUE(document.Parse(text.data(), text.size()));
  }
  QXIniDocument document;
  QXLogConfigurationIniFile configuration;
};

TEST(QXLogFunctionName, QualifiedNameFromSignature) {
  char out[128];
  QXExtractFunctionName("QXSTATUS plendrik::DfuApi::OpenDevice(unsigned int, unsigned int*)", out, sizeof(out));
  EXPECT_STREQ(out, "plendrik::DfuApi::OpenDevice");
  QXExtractFunctionName("uint32_t QXDFU_GetApiVersion()", out, sizeof(out));
  EXPECT_STREQ(out, "QXDFU_GetApiVersion");
  QXExtractFunctionName(
      "size_t plendrik::QXFormatterT<C>::FormatArgs(const C*, const QXFormatArg*, size_t) [with C = char]", out,
      sizeof(out));
  EXPECT_STREQ(out, "plendrik::QXFormatterT<C>::FormatArgs");
  QXExtractFunctionName("std::map<int, std::pair<int, int> > plendrik::X::Get() const", out, sizeof(out));
  EXPECT_STREQ(out, "plendrik::X::Get");
  QXExtractFunctionName("void plendrik::{anonymous}::F()", out, sizeof(out));
  EXPECT_STREQ(out, "plendrik::{anonymous}::F");
  QXExtractFunctionName("void plendrik::(anonymous namespace)::F(int)", out, sizeof(out));
  EXPECT_STREQ(out, "plendrik::(anonymous namespace)::F");
  QXExtractFunctionName("int DllMain(void*, uint32_t, void*)", out, sizeof(out));
  EXPECT_STREQ(out, "DllMain");
  // A short buffer is cut, never overrun.
  EXPECT_EQ(QXExtractFunctionName("void plendrik::Long::Name()", out, 5), 4u);
  EXPECT_STREQ(out, "plen");
}

TEST(QXLogPrefix, PartsInOrderAndCut) {
  QXLogMessage message{};
  QXLogRecord record{};
  record.packedTime = QXPackSystemTime(2026, 12, 6, 7, 41, 17, 123);
  record.processId = 4242;
  record.threadId = 4711;
  record.level = kQXLogLevelInfo;
  record.timestamp = 12345678;
  const std::string module = QXGetModuleName();
  QXSetModuleName("flashbridge");
  CreatePrefix(0x733, message, gLogGlobal, record);
  EXPECT_STREQ(message.prefix, "2026-12-06 07:41:17.123 [4242] (4711) flashbridge: Global: INFO: ");
  CreatePrefix(0x008 | 0x400, message, gLogGlobal, record);
  EXPECT_STREQ(message.prefix, "12.345678 INFO: ");
  record.level = kQXLogLevelWarn;
  CreatePrefix(0x500, message, gLogDfuApi, record);
  EXPECT_STREQ(message.prefix, "flashbridge: WARN: ");

  // A prefix past 79 characters is cut and reported once.
  DebugCapture debug;
  QXSetModuleName("a-module-name-of-exactly-31-chs");
  record.processId = 4294967295u;
  record.threadId = 4294967295u;
  CreatePrefix(0x73B, message, gLogDfuApi, record);
  EXPECT_EQ(strlen(message.prefix), 79u);
  ASSERT_EQ(debug.lines.size(), 1u);
  EXPECT_NE(debug.lines[0].find(": ERROR: plendrik::QXLogMessage::CreatePrefix: prefix length "), std::string::npos);
  EXPECT_NE(debug.lines[0].find(" exceeds 79\n"), std::string::npos);
  QXSetModuleName(module.c_str());
}

TEST(QXLogLevels, ConfiguredPerLoggerAndTargetsSeeOnlyPassingLines) {
  EtwCapture etw;
  IniConfiguration ini("[Logger.DFUAPI]\nLogLevel=2\n[Logger.DFU]\nLogLevel=0x3\n[logger.global]\nloglevel=abc\n");
  const int32_t saved[3] = {gLogGlobal.GetLevel(), gLogDfuApi.GetLevel(), gLogDfu.GetLevel()};
  for (QXLogger* l : {&gLogGlobal, &gLogDfuApi, &gLogDfu}) {
    int32_t level = kQXLogLevelAll;
    if (ini.configuration.GetLogLevel(l->GetName(), level) == QXSTATUS_SUCCESS) {
      l->SetLevel(level);
    } else {
      l->SetLevel(kQXLogLevelAll);
    }
  }
  EXPECT_EQ(gLogDfuApi.GetLevel(), 2);
  EXPECT_EQ(gLogDfu.GetLevel(), 3);
  EXPECT_EQ(gLogGlobal.GetLevel(), kQXLogLevelAll) << "an unreadable level leaves the logger as it was";

  QX_LOG(gLogDfuApi, kQXLogLevelTrace, "[ trace");
  QX_LOG(gLogDfuApi, kQXLogLevelError, "api error");
  QX_LOG(gLogDfu, kQXLogLevelInfo, "progress");
  QX_LOG(gLogDfu, kQXLogLevelWarn, "dfu warning");
  Sample().Method();
  gLogGlobal.SetLevel(saved[0]);
  gLogDfuApi.SetLevel(saved[1]);
  gLogDfu.SetLevel(saved[2]);

  ASSERT_EQ(etw.lines.size(), 3u);
  EXPECT_NE(etw.lines[0].find(": ERROR: "), std::string::npos);
  EXPECT_NE(etw.lines[0].find("QXLogLevels_ConfiguredPerLoggerAndTargetsSeeOnlyPassingLines_Test::TestBody: api error"),
            std::string::npos);
  EXPECT_NE(etw.lines[1].find(": WARN: "), std::string::npos);
  EXPECT_NE(etw.lines[2].find("INFO: plendrik::{anonymous}::Sample::Method: value=42"), std::string::npos)
      << etw.lines[2];
  EXPECT_EQ(etw.ids[0], 1);
}

TEST(QXLogEtw, RegistrationFailureIsReportedAndNothingIsWritten) {
#if defined(_WIN32)
  GTEST_SKIP() << "the host stand-in can be told to fail; Wine's provider cannot";
#else
  DebugCapture debug;
  QXEtwStandIn::FailNextRegistration(87);
  QXLogTargetEtw target;
  EXPECT_EQ(target.StartTarget(nullptr), 87u);
  EXPECT_FALSE(target.IsRegistered());
  ASSERT_EQ(debug.lines.size(), 1u);
  EXPECT_NE(debug.lines[0].find("ERROR: plendrik::QXLogTargetEtw::StartTarget: EtwRegister failed, st=0x00000057"),
            std::string::npos);
  EXPECT_EQ(target.StartTarget(nullptr), 0u);
  EXPECT_TRUE(QXEtwStandIn::IsRegistered(QXLogTargetEtw::kProviderGuid));
  target.StopTarget();
  EXPECT_FALSE(QXEtwStandIn::IsRegistered(QXLogTargetEtw::kProviderGuid));
#endif
}

class QXLogFileTarget : public ::testing::Test {
 protected:
  void TearDown() override {
    gLogTargets.LogFile.StopTarget();
    gLogTargets.LogFile.SetLogFileName(QXWString());
    gLogTargets.LogFile.SetAppendMode(false);
    gLogTargets.LogFile.SetFlushAfterWrite(false);
    // Put the default size limit back through an ini value.
    IniConfiguration reset("[Target.LogFile]\nMaxFileSizeKB=20480\n");
    gLogTargets.LogFile.StartTarget(&reset.configuration);
    gLogTargets.LogFile.StopTarget();
  }
  fbtest::TempDir mDir;
};

TEST_F(QXLogFileTarget, LinesHaveTheDocumentedFormAndOldFileBecomesBackup) {
  const auto log = mDir.File("flash.log");
  fbtest::WriteFileBytes(log, "old log\r\n");
  fbtest::WriteFileBytes(mDir.File("flash.log.bak"), "older backup\r\n");
  IniConfiguration ini("[Target.LogFile]\nLogFile=" + log.string() + "\n");
  ASSERT_EQ(gLogTargets.LogFile.StartTarget(&ini.configuration), QXSTATUS_SUCCESS);
  EXPECT_EQ(gLogTargets.LogFile.StartTarget(&ini.configuration), QXSTATUS_ALREADY_DONE);
  Sample().Method();
  QX_LOG_ERROR("failed, st={}", QXSt{QXSTATUS_INVALID_PARAMETER});
  gLogTargets.LogFile.StopTarget();

  EXPECT_EQ(fbtest::ReadFileBytes(mDir.File("flash.log.bak")), "old log\r\n");
  const std::string text = fbtest::ReadFileBytes(log);
  const std::regex line(
      R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[\d+\] \(\d+\) [^:]*: Global: INFO: )"
      R"(plendrik::\{anonymous\}::Sample::Method: value=42\r\n)"
      R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[\d+\] \(\d+\) [^:]*: Global: ERROR: )"
      R"(.*TestBody: failed, st=0xee000041\(QXSTATUS_INVALID_PARAMETER\)\r\n)");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
}

// A logger of its own (loggers live as long as the process), with the library's two targets.
QXLogger gWriterTestLogger("WriterTest", kQXLogLevelAll);

// A line is formatted and recorded only when some target will write it: the file target
// once started and up to its level, the event target while registered, any other target up
// to its level; never past the logger's level.
TEST_F(QXLogFileTarget, ALineHasAWriterOnlyWhenATargetWillWriteIt) {
  ASSERT_FALSE(gLogTargets.LogFile.IsStarted());
  ASSERT_FALSE(gLogTargets.Etw.IsRegistered());
  gWriterTestLogger.DetachAllTargets();
  ASSERT_TRUE(gWriterTestLogger.AttachTarget(&gLogTargets.LogFile));
  ASSERT_TRUE(gWriterTestLogger.AttachTarget(&gLogTargets.Etw));
  EXPECT_FALSE(QXLogHasWriter(gWriterTestLogger, kQXLogLevelFatal));

  gLogTargets.Etw.StartTarget(nullptr);
  EXPECT_TRUE(QXLogHasWriter(gWriterTestLogger, kQXLogLevelTrace));
  gLogTargets.Etw.StopTarget();
  EXPECT_FALSE(QXLogHasWriter(gWriterTestLogger, kQXLogLevelTrace));

  const auto log = mDir.File("writer.log");
  IniConfiguration ini("[Target.LogFile]\nLogFile=" + log.string() + "\n");
  ASSERT_EQ(gLogTargets.LogFile.StartTarget(&ini.configuration), QXSTATUS_SUCCESS);
  EXPECT_TRUE(QXLogHasWriter(gWriterTestLogger, kQXLogLevelTrace));
  const int32_t savedTargetLevel = gLogTargets.LogFile.GetLevel();
  gLogTargets.LogFile.SetLevel(kQXLogLevelError);
  EXPECT_FALSE(QXLogHasWriter(gWriterTestLogger, kQXLogLevelWarn));
  EXPECT_TRUE(QXLogHasWriter(gWriterTestLogger, kQXLogLevelError));
  gLogTargets.LogFile.SetLevel(savedTargetLevel);
  gWriterTestLogger.SetLevel(kQXLogLevelWarn);
  EXPECT_FALSE(QXLogHasWriter(gWriterTestLogger, kQXLogLevelInfo));
  QX_LOG(gWriterTestLogger, kQXLogLevelWarn, "written {}", 1);
  QX_LOG(gWriterTestLogger, kQXLogLevelInfo, "not written {}", 2);
  gLogTargets.LogFile.StopTarget();
  EXPECT_FALSE(QXLogHasWriter(gWriterTestLogger, kQXLogLevelWarn));
  QX_LOG(gWriterTestLogger, kQXLogLevelWarn, "not written {}", 3);
  const std::string text = fbtest::ReadFileBytes(log);
  EXPECT_NE(text.find("WARN: plendrik::"), std::string::npos) << text;
  EXPECT_NE(text.find("written 1\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("not written"), std::string::npos) << text;
  gWriterTestLogger.SetLevel(kQXLogLevelAll);

  // Any other target decides by its level alone.
  {
    TestLogTarget capture(gWriterTestLogger);
    EXPECT_TRUE(QXLogHasWriter(gWriterTestLogger, kQXLogLevelTrace));
  }
  gWriterTestLogger.DetachAllTargets();
}

TEST_F(QXLogFileTarget, AppendModeKeepsTheOldLines) {
  const auto log = mDir.File("append.log");
  fbtest::WriteFileBytes(log, "kept\r\n");
  IniConfiguration ini("[Target.LogFile]\nLogFile=" + log.string() + "\nAppendMode=1\nFlushAfterWrite=1\n");
  ASSERT_EQ(gLogTargets.LogFile.StartTarget(&ini.configuration), QXSTATUS_SUCCESS);
  QX_LOG_INFO("second");
  // Flushed after every line: readable while the target is running.
  const std::string text = fbtest::ReadFileBytes(log);
  EXPECT_EQ(text.rfind("kept\r\n", 0), 0u);
  EXPECT_NE(text.find("second\r\n"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(mDir.File("append.log.bak")));
}

TEST_F(QXLogFileTarget, RotatesAfterTheLineThatReachesTheLimit) {
  const auto log = mDir.File("rot.log");
  IniConfiguration ini("[Target.LogFile]\nLogFile=" + log.string() + "\nMaxFileSizeKB=1\n");
  ASSERT_EQ(gLogTargets.LogFile.StartTarget(&ini.configuration), QXSTATUS_SUCCESS);
  EXPECT_EQ(gLogTargets.LogFile.GetMaxFileSize(), 1024u);
  const std::string filler(100, 'x');
  int lines = 0;
  while (!std::filesystem::exists(mDir.File("rot.log.bak"))) {
    QX_LOG_INFO("line {} {}", lines, filler.c_str());
    ++lines;
    ASSERT_LT(lines, 50);
  }
  QX_LOG_INFO("after rotation");
  gLogTargets.LogFile.StopTarget();
  const std::string backup = fbtest::ReadFileBytes(mDir.File("rot.log.bak"));
  EXPECT_GE(backup.size(), 1024u);
  // The line that crossed the limit is the backup's last line; without it the file was below.
  const std::string lastText = "line " + std::to_string(lines - 1) + " " + filler + "\r\n";
  ASSERT_GE(backup.size(), lastText.size());
  EXPECT_EQ(backup.substr(backup.size() - lastText.size()), lastText);
  const size_t lastLineStart = backup.rfind("\r\n", backup.size() - 3) + 2;
  EXPECT_LT(lastLineStart, 1024u) << backup;
  const std::string current = fbtest::ReadFileBytes(log);
  EXPECT_NE(current.find("after rotation\r\n"), std::string::npos);
  EXPECT_EQ(current.find("line "), std::string::npos);
}

TEST_F(QXLogFileTarget, FileNamesAreTrimmedAndExpanded) {
  // Only blanks: file logging stays off.
  IniConfiguration blank("[Target.LogFile]\nLogFile=   \n");
  EXPECT_EQ(gLogTargets.LogFile.StartTarget(&blank.configuration), QXSTATUS_SUCCESS);
  EXPECT_FALSE(gLogTargets.LogFile.IsStarted());

  // An environment variable in percent signs is expanded.
#if defined(_WIN32)
  _putenv_s("FBTEST_LOGDIR", mDir.Path().string().c_str());
#else
  setenv("FBTEST_LOGDIR", mDir.Path().string().c_str(), 1);
#endif
  IniConfiguration env("[Target.LogFile]\nLogFile= %FBTEST_LOGDIR%/env.log \n");
  ASSERT_EQ(gLogTargets.LogFile.StartTarget(&env.configuration), QXSTATUS_SUCCESS);
  EXPECT_TRUE(gLogTargets.LogFile.IsStarted());
  QX_LOG_INFO("expanded");
  gLogTargets.LogFile.StopTarget();
  EXPECT_NE(fbtest::ReadFileBytes(mDir.File("env.log")).find("expanded"), std::string::npos);
}

TEST_F(QXLogFileTarget, OpenFailureIsReportedAndLeavesTheTargetStopped) {
  DebugCapture debug;
  IniConfiguration ini("[Target.LogFile]\nLogFile=" + mDir.File("missing-dir/x.log").string() + "\n");
  const QXSTATUS st = gLogTargets.LogFile.StartTarget(&ini.configuration);
  EXPECT_EQ(st & 0xFFFF0000u, 0xE0010000u) << std::hex << st;
  EXPECT_FALSE(gLogTargets.LogFile.IsStarted());
  EXPECT_TRUE(gLogTargets.LogFile.GetOpenPath().empty());
  ASSERT_GE(debug.lines.size(), 2u);
  EXPECT_NE(debug.lines[0].find("plendrik::QXLogFile::OpenLogFile: Open file '"), std::string::npos);
  EXPECT_NE(debug.lines[1].find("plendrik::QXLogTargetLogFile::StartTargetImpl: OpenLogFile("), std::string::npos);
}

// Counts the debugger output lines that contain fragment.
size_t CountContaining(const std::vector<std::string>& lines, const std::string& fragment) {
  size_t n = 0;
  for (const std::string& line : lines) {
    n += line.find(fragment) != std::string::npos ? 1 : 0;
  }
  return n;
}

// The backup name is taken by a folder, as it might be held by another program: the live log
// is kept and appended to, no line is lost, and the failure is reported once, not per line.
TEST_F(QXLogFileTarget, FailedBackupKeepsEveryLineAndIsReportedOnce) {
  DebugCapture debug;
  const auto log = mDir.File("held.log");
  fbtest::WriteFileBytes(log, "earlier run\r\n");
  // Not empty, so that it cannot be removed to make way.
  std::filesystem::create_directory(mDir.File("held.log.bak"));
  fbtest::WriteFileBytes(mDir.File("held.log.bak") / "keep", "x");
  IniConfiguration ini("[Target.LogFile]\nLogFile=" + log.string() + "\nMaxFileSizeKB=1\n");
  ASSERT_EQ(gLogTargets.LogFile.StartTarget(&ini.configuration), QXSTATUS_SUCCESS);
  // Not an append start, yet the file that cannot be backed up is not emptied.
  EXPECT_FALSE(gLogTargets.LogFile.GetAppendMode());
  const std::string filler(100, 'x');
  for (int i = 0; i < 40; ++i) {  // about four times the limit
    QX_LOG_INFO("line {} {}", i, filler.c_str());
  }
  gLogTargets.LogFile.StopTarget();

  const std::string text = fbtest::ReadFileBytes(log);
  EXPECT_EQ(text.rfind("earlier run\r\n", 0), 0u);
  for (int i = 0; i < 40; ++i) {
    EXPECT_NE(text.find("line " + std::to_string(i) + " " + filler + "\r\n"), std::string::npos) << i;
  }
  EXPECT_TRUE(std::filesystem::is_directory(mDir.File("held.log.bak")));
  EXPECT_EQ(CountContaining(debug.lines, "plendrik::QXLogFile::MakeBackup: Rename '"), 1u);
}

#if defined(_WIN32)
// Another program (a viewer, a virus scanner) holds the log without delete sharing: the
// rename fails, and the lines still go into the file.
TEST_F(QXLogFileTarget, FileHeldByAnotherProgramKeepsEveryLine) {
  DebugCapture debug;
  const auto log = mDir.File("viewed.log");
  IniConfiguration ini("[Target.LogFile]\nLogFile=" + log.string() + "\nMaxFileSizeKB=1\n");
  ASSERT_EQ(gLogTargets.LogFile.StartTarget(&ini.configuration), QXSTATUS_SUCCESS);
  QX_LOG_INFO("first line");
  const HANDLE viewer = CreateFileW(log.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(viewer, INVALID_HANDLE_VALUE);
  const std::string filler(100, 'v');
  for (int i = 0; i < 30; ++i) {
    QX_LOG_INFO("held {} {}", i, filler.c_str());
  }
  gLogTargets.LogFile.StopTarget();
  CloseHandle(viewer);
  const std::string text = fbtest::ReadFileBytes(log);
  EXPECT_NE(text.find("first line\r\n"), std::string::npos);
  for (int i = 0; i < 30; ++i) {
    EXPECT_NE(text.find("held " + std::to_string(i) + " " + filler + "\r\n"), std::string::npos) << i;
  }
  EXPECT_FALSE(std::filesystem::exists(mDir.File("viewed.log.bak")));
  EXPECT_EQ(CountContaining(debug.lines, "plendrik::QXLogFile::MakeBackup: Rename '"), 1u);
}
#endif

// Once the obstacle is gone, rotation resumes after another limit's worth of lines.
TEST_F(QXLogFileTarget, RotationResumesWhenTheBackupCanBeMadeAgain) {
  DebugCapture debug;
  const auto log = mDir.File("later.log");
  std::filesystem::create_directory(mDir.File("later.log.bak"));
  fbtest::WriteFileBytes(mDir.File("later.log.bak") / "keep", "x");
  IniConfiguration ini("[Target.LogFile]\nLogFile=" + log.string() + "\nMaxFileSizeKB=1\nAppendMode=1\n");
  ASSERT_EQ(gLogTargets.LogFile.StartTarget(&ini.configuration), QXSTATUS_SUCCESS);
  const std::string filler(100, 'y');
  for (int i = 0; i < 12; ++i) {  // past the limit once: the rename fails
    QX_LOG_INFO("before {} {}", i, filler.c_str());
  }
  std::filesystem::remove_all(mDir.File("later.log.bak"));
  int lines = 0;
  while (!std::filesystem::is_regular_file(mDir.File("later.log.bak"))) {
    QX_LOG_INFO("after {} {}", lines, filler.c_str());
    ASSERT_LT(++lines, 30);
  }
  gLogTargets.LogFile.StopTarget();
  const std::string backup = fbtest::ReadFileBytes(mDir.File("later.log.bak"));
  EXPECT_NE(backup.find("before 0 "), std::string::npos);
  EXPECT_NE(backup.find("before 11 "), std::string::npos);
  EXPECT_EQ(CountContaining(debug.lines, "plendrik::QXLogFile::MakeBackup: Rename '"), 1u);
}

// Two callers start file logging at once: one wins, and the file that is open is the
// winner's, written with the winner's options.
TEST_F(QXLogFileTarget, ConcurrentStartsDoNotMixNamesAndOptions) {
  const QXWString nameA = fbtest::ToQXWString(mDir.File("a.log"));
  const QXWString nameB = fbtest::ToQXWString(mDir.File("b.log"));
  for (int round = 0; round < 200; ++round) {
    QXSTATUS stA = QXSTATUS_FAILED;
    QXSTATUS stB = QXSTATUS_FAILED;
    // Both threads spin until both run, so that their calls overlap as closely as possible.
    std::atomic<int> ready{0};
    auto startTogether = [&ready] {
      ready.fetch_add(1);
      while (ready.load() < 2) {
      }
    };
    std::thread a([&] {
      startTogether();
      stA = gDfuApi.StartFileLogging(nameA.c_str(), QXDFU_LOGGING_FLAG_APPEND_MODE);
    });
    std::thread b([&] {
      startTogether();
      stB = gDfuApi.StartFileLogging(nameB.c_str(), QXDFU_LOGGING_FLAG_FLUSH_AFTER_WRITE);
    });
    a.join();
    b.join();
    ASSERT_TRUE((stA == QXSTATUS_SUCCESS && stB == QXSTATUS_ALREADY_DONE) ||
                (stB == QXSTATUS_SUCCESS && stA == QXSTATUS_ALREADY_DONE))
        << std::hex << stA << " " << stB;
    const bool aWon = stA == QXSTATUS_SUCCESS;
    ASSERT_EQ(gLogTargets.LogFile.GetOpenPath(), aWon ? nameA : nameB) << "round " << round;
    ASSERT_EQ(gLogTargets.LogFile.GetAppendMode(), aWon) << "round " << round;
    ASSERT_EQ(gLogTargets.LogFile.GetFlushAfterWrite(), !aWon) << "round " << round;
    gLogTargets.LogFile.StopTarget();
  }
}

TEST_F(QXLogFileTarget, NullFileNameIsRefusedAndBlankNameLeavesLoggingOff) {
  EXPECT_EQ(gDfuApi.StartFileLogging(nullptr, 0), QXSTATUS_INVALID_PARAMETER);
  EXPECT_FALSE(gLogTargets.LogFile.IsStarted());
  const QXWString blank = QXW(" \t ");
  EXPECT_EQ(gDfuApi.StartFileLogging(blank.c_str(), 0), QXSTATUS_SUCCESS);
  EXPECT_FALSE(gLogTargets.LogFile.IsStarted());
  // Neither call used up the one start: a real name still opens its file.
  const QXWString name = fbtest::ToQXWString(mDir.File("real.log"));
  EXPECT_EQ(gDfuApi.StartFileLogging(name.c_str(), 0), QXSTATUS_SUCCESS);
  EXPECT_TRUE(gLogTargets.LogFile.IsStarted());
}

}  // namespace
}  // namespace plendrik
