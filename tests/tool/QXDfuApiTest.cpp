#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "QXDfuApi.h"
#include "integration/LibraryLoader.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

using plendrik::QXDfuApi;

#if defined(_WIN32)
const char* const kSuffix = ".dll";
const char kSeparator = '\\';
#else
const char* const kSuffix = ".so";
const char kSeparator = '/';
#endif

std::basic_string<QXDFU_WCHAR> Wide(const std::string& text) {
  return std::basic_string<QXDFU_WCHAR>(text.begin(), text.end());
}

std::string StubPath(const char* name) { return fbtest::LibraryLoader::ProgramFolder() + kSeparator + name + kSuffix; }

// Whether the module is still mapped in the process.
bool IsModuleLoaded(const std::string& path) {
#if defined(_WIN32)
  return GetModuleHandleA(path.c_str()) != nullptr;
#else
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) {
    return false;
  }
  dlclose(handle);
  return true;
#endif
}

class QXDfuApiBinding : public ::testing::Test {
 protected:
  void TearDown() override { api.Unload(); }

  void ExpectNothingBound() {
    EXPECT_EQ(api.module, nullptr);
    EXPECT_EQ(api.LoadedEntryPointCount(), 0);
    EXPECT_EQ(api.QXDFU_GetApiVersion, nullptr);
    EXPECT_EQ(api.QXDFU_UnregisterDeviceChangeCallback, nullptr);
  }

  QXDfuApi& api = QXDfuApi::Instance();
};

TEST_F(QXDfuApiBinding, FullLibraryBindsAll25EntryPointsInTableOrder) {
  const std::string path = StubPath("stub_full");
  ASSERT_EQ(api.LoadByName(Wide(path).c_str()), QXSTATUS_SUCCESS);
  EXPECT_NE(api.module, nullptr);
  EXPECT_EQ(api.apiVersion, 0x0001000Du);
  EXPECT_EQ(api.LoadedEntryPointCount(), QXDfuApi::kEntryPointCount);
  EXPECT_EQ(api.QXDFU_GetUniCharSize(), 2u);
  EXPECT_EQ(plendrik::QXDfuCall(api.QXDFU_FinishUpgrade, 1u, 0u), QXSTATUS_NOT_SUPPORTED);
  EXPECT_STREQ(plendrik::QXDfuErrorText(QXSTATUS_NOT_SUPPORTED), "QXSTATUS_NOT_SUPPORTED");
  EXPECT_TRUE(IsModuleLoaded(path));

  api.Unload();
  ExpectNothingBound();
  EXPECT_FALSE(IsModuleLoaded(path));
  EXPECT_STREQ(plendrik::QXDfuErrorText(QXSTATUS_NOT_SUPPORTED), "");
}

TEST_F(QXDfuApiBinding, SecondLoadReleasesTheFirstLibrary) {
  const std::string first = StubPath("stub_full");
  const std::string refusing = StubPath("stub_refuse_version");
  ASSERT_EQ(api.LoadByName(Wide(first).c_str()), QXSTATUS_SUCCESS);
  EXPECT_EQ(api.LoadByName(Wide(refusing).c_str()), QXSTATUS_VERSION_MISMATCH);
  EXPECT_EQ(api.apiVersion, 0u);
  EXPECT_FALSE(IsModuleLoaded(first));
  EXPECT_FALSE(IsModuleLoaded(refusing));
  ExpectNothingBound();
}

TEST_F(QXDfuApiBinding, LibraryLackingTheLastExportIsReleased) {
  const std::string path = StubPath("stub_missing_last_export");
  EXPECT_EQ(api.LoadByName(Wide(path).c_str()), QXSTATUS_OBJECT_NOT_FOUND);
  EXPECT_EQ(api.apiVersion, 0u);
  ExpectNothingBound();
  EXPECT_FALSE(IsModuleLoaded(path));
}

TEST_F(QXDfuApiBinding, MissingFileAndFolder) {
  EXPECT_EQ(api.LoadByName(Wide(StubPath("no_such_library")).c_str()), QXSTATUS_FILE_NOT_FOUND);
  const std::string inMissingFolder =
      fbtest::LibraryLoader::ProgramFolder() + kSeparator + "no_such_folder" + kSeparator + "x" + kSuffix;
  EXPECT_EQ(api.LoadByName(Wide(inMissingFolder).c_str()), QXSTATUS_FILE_NOT_FOUND);
  ExpectNothingBound();
}

TEST_F(QXDfuApiBinding, FileThatIsNoLibraryGivesThePlatformError) {
  const std::string path = fbtest::LibraryLoader::ProgramFolder() + kSeparator + "not_a_library" + kSuffix;
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fputs("this is text, not a loadable module\n", f);
  fclose(f);
  const QXSTATUS st = api.LoadByName(Wide(path).c_str());
  remove(path.c_str());
#if defined(_WIN32)
  EXPECT_EQ(st, static_cast<QXSTATUS>(ERROR_BAD_EXE_FORMAT));
#else
  EXPECT_EQ(st, QXSTATUS_FROM_ERRNO(ENOEXEC));
#endif
  ExpectNothingBound();
}

#if defined(_WIN32)
// The library comes from the current directory, but no module it loads by name may: the search
// is limited to the system folder and the program's folder once the tool binds a library.
TEST_F(QXDfuApiBinding, ModulesNamedLaterAreNotTakenFromTheCurrentDirectory) {
  wchar_t saved[MAX_PATH];
  ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, saved), 0u);
  wchar_t temp[MAX_PATH];
  ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
  const std::wstring folder = std::wstring(temp) + L"fb_tool_cwd_probe";
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring probe = folder + L"\\fb_cwd_probe.dll";
  const std::string stub = StubPath("stub_full");
  ASSERT_TRUE(CopyFileW(std::wstring(stub.begin(), stub.end()).c_str(), probe.c_str(), FALSE));
  ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str()));

  EXPECT_EQ(api.LoadByName(Wide(stub).c_str()), QXSTATUS_SUCCESS);
  HMODULE fromCurrentDirectory = LoadLibraryW(L"fb_cwd_probe.dll");
  EXPECT_EQ(fromCurrentDirectory, nullptr) << "a module was found in the current directory";
  if (fromCurrentDirectory != nullptr) FreeLibrary(fromCurrentDirectory);

  SetCurrentDirectoryW(saved);
  DeleteFileW(probe.c_str());
  RemoveDirectoryW(folder.c_str());
}
#endif

}  // namespace
