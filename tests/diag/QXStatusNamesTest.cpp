#include "diag/QXStatusNames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace plendrik {
namespace {

// Null-safe view of a name for comparisons in expectations.
std::string NameOr(const char* name) { return name ? name : "(null)"; }

TEST(QXStatusNameTest, NamesTheLibrarysOwnCodesAndLeavesTheGapsUnnamed) {
  EXPECT_EQ(NameOr(QXStatusName(QXSTATUS_SUCCESS)), "QXSTATUS_SUCCESS");
  EXPECT_EQ(NameOr(QXStatusName(0xEE000001u)), "QXSTATUS_FAILED");
  EXPECT_EQ(NameOr(QXStatusName(0xEE000048u)), "QXSTATUS_INVALID_HANDLE");
  EXPECT_EQ(NameOr(QXStatusName(0xEE000121u)), "QXSTATUS_I2C_NO_ACK");
  EXPECT_EQ(NameOr(QXStatusName(0xEE002002u)), "QXSTATUS_APP_ERROR2");
  EXPECT_EQ(QXStatusName(0xEE000000u), nullptr);
  EXPECT_EQ(QXStatusName(0xEE00000Cu), nullptr);
  EXPECT_EQ(QXStatusName(0xEE00004Cu), nullptr);
  EXPECT_EQ(QXStatusName(0xEE002003u), nullptr);
}

TEST(QXStatusNameTest, OnlyTheBaseOfTheDfuDeviceErrorFamilyHasAName) {
  EXPECT_EQ(NameOr(QXStatusName(0xEE001100u)), "QXSTATUS_DFU_STATUS_ERROR");
  EXPECT_EQ(QXStatusName(0xEE001101u), nullptr);
  EXPECT_EQ(QXStatusName(0xEE00110Au), nullptr);
  EXPECT_EQ(QXStatusName(0xEE0011FFu), nullptr);
}

TEST(QXStatusNameTest, NamesEveryConfigurationManagerResult) {
  EXPECT_EQ(QXStatusName(0xE0020000u), nullptr);
  EXPECT_EQ(NameOr(QXStatusName(0xE0020001u)), "QXSTATUS_CR_DEFAULT");
  EXPECT_EQ(NameOr(QXStatusName(0xE0020005u)), "QXSTATUS_CR_INVALID_DEVNODE");
  EXPECT_EQ(NameOr(QXStatusName(0xE002003Bu)), "QXSTATUS_CR_INVALID_STRUCTURE_SIZE");
  EXPECT_EQ(NameOr(QXStatusName(0xE002003Cu)), "QXSTATUS_NUM_CR_RESULTS");
  EXPECT_EQ(QXStatusName(0xE002003Du), nullptr);
  // The family has no holes: every value up to the count is a CR_ name.
  for (uint32_t v = 0xE0020001u; v < 0xE002003Cu; ++v) {
    EXPECT_EQ(NameOr(QXStatusName(v)).rfind("QXSTATUS_CR_", 0), 0u) << std::hex << v;
  }
}

TEST(QXStatusNameTest, NamesUsbStackErrorsAndWarnings) {
  EXPECT_EQ(NameOr(QXStatusName(0xEF000001u)), "QXSTATUS_USBD_STATUS_CRC");
  EXPECT_EQ(NameOr(QXStatusName(0xEF000004u)), "QXSTATUS_USBD_STATUS_STALL_PID");
  EXPECT_EQ(NameOr(QXStatusName(0xEF100009u)), "QXSTATUS_USBD_STATUS_BAD_ENDPOINT_ADDRESS");
  EXPECT_EQ(NameOr(QXStatusName(0xAF000200u)), "QXSTATUS_USBD_STATUS_INVALID_URB_FUNCTION");
  EXPECT_EQ(NameOr(QXStatusName(0xAF000900u)), "QXSTATUS_USBD_STATUS_ERROR_SHORT_TRANSFER");
  // Values of the platform's own USBD_STATUS form and gaps of the family are not names.
  EXPECT_EQ(QXStatusName(0xC0000004u), nullptr);
  EXPECT_EQ(QXStatusName(0xEF00000Eu), nullptr);
  EXPECT_EQ(QXStatusName(0xAF000500u), nullptr);
}

TEST(QXStatusNameTest, PlatformCodesHaveNoLibraryName) {
  EXPECT_EQ(QXStatusName(5), nullptr);
  EXPECT_EQ(QXStatusName(0x80070005u), nullptr);
  EXPECT_EQ(QXStatusName(0xE0010002u), nullptr);  // errno 2 of the C run time
  EXPECT_EQ(QXStatusName(0xFFFFFFFFu), nullptr);
}

TEST(QXStatusNameWin32Test, NamesErrorCodesAndHResults) {
  EXPECT_EQ(NameOr(QXWin32ErrorName(5)), "ERROR_ACCESS_DENIED");
  EXPECT_EQ(NameOr(QXWin32ErrorName(258)), "WAIT_TIMEOUT");
  EXPECT_EQ(NameOr(QXWin32ErrorName(10004)), "WSAEINTR");  // defined as (WSABASEERR + 4)
  EXPECT_EQ(NameOr(QXWin32ErrorName(0x80070005u)), "E_ACCESSDENIED");
  EXPECT_EQ(NameOr(QXWin32ErrorName(0x8000FFFFu)), "E_UNEXPECTED");
  EXPECT_EQ(NameOr(QXWin32ErrorName(0x8007007Au)), "E_NOT_SUFFICIENT_BUFFER");  // HRESULT_FROM_WIN32
  EXPECT_EQ(NameOr(QXWin32ErrorName(0x800F020Bu)), "SPAPI_E_NO_SUCH_DEVINST");
  EXPECT_EQ(NameOr(QXWin32ErrorName(0xC0090002u)), "ERROR_ALL_SIDS_FILTERED");
  EXPECT_EQ(QXWin32ErrorName(0x80070002u), nullptr);
  EXPECT_EQ(QXWin32ErrorName(0x12345678u), nullptr);
  EXPECT_EQ(QXWin32ErrorName(0xFFFFFFFFu), nullptr);
}

TEST(QXStatusNameWin32Test, SharedValuesTakeTheFirstNameOfTheHeader) {
  EXPECT_EQ(NameOr(QXWin32ErrorName(0)), "ERROR_SUCCESS");  // not NO_ERROR, S_OK, SEC_E_OK
  EXPECT_EQ(NameOr(QXWin32ErrorName(1)), "ERROR_INVALID_FUNCTION");  // not S_FALSE
  EXPECT_EQ(NameOr(QXWin32ErrorName(14)), "ERROR_OUTOFMEMORY");  // not DNS_ERROR_NO_MEMORY
  // Not SEC_E_NOT_SUPPORTED, an alias defined after it.
  EXPECT_EQ(NameOr(QXWin32ErrorName(0x80090302u)), "SEC_E_UNSUPPORTED_FUNCTION");
}

TEST(QXStatusNameWin32Test, HeaderBuildingBlocksAreNotNames) {
  // OLE_E_FIRST shares its value with OLE_E_OLEVERB; the range marker must not take it.
  EXPECT_EQ(NameOr(QXWin32ErrorName(0x80040000u)), "OLE_E_OLEVERB");
  EXPECT_EQ(QXWin32ErrorName(0x10000000u), nullptr);  // FACILITY_NT_BIT
  EXPECT_EQ(QXWin32ErrorName(0x00002328u), nullptr);  // DNS_ERROR_MASK
}

// Codes that mingw-w64's header lacks and a USB library meets when a device goes away.
TEST(QXStatusNameWin32Test, NamesDeviceErrorsMissingFromOneHeader) {
  EXPECT_STREQ(NameOr(QXWin32ErrorName(433)).c_str(), "ERROR_NO_SUCH_DEVICE");
  EXPECT_STREQ(NameOr(QXWin32ErrorName(321)).c_str(), "ERROR_DEVICE_UNREACHABLE");
  EXPECT_STREQ(NameOr(QXWin32ErrorName(483)).c_str(), "ERROR_DEVICE_HARDWARE_ERROR");
  // As an HRESULT in a log line, too.
  EXPECT_STREQ(QXStatusLogName(0x800701B1u), "ERROR_NO_SUCH_DEVICE");
  // A name the second header gives another value keeps the first header's value only.
  EXPECT_STREQ(NameOr(QXWin32ErrorName(0x80010123u)).c_str(), "CO_E_FAILEDTOIMPERSONATE");
  EXPECT_EQ(QXWin32ErrorName(0x80040200u), nullptr);
}

TEST(QXStatusNameLogTest, FollowsTheNamingOrder) {
  EXPECT_STREQ(QXStatusLogName(0), "ERROR_SUCCESS");
  EXPECT_STREQ(QXStatusLogName(5), "ERROR_ACCESS_DENIED");
  EXPECT_STREQ(QXStatusLogName(0xEE000041u), "QXSTATUS_INVALID_PARAMETER");
  EXPECT_STREQ(QXStatusLogName(0xE0020005u), "QXSTATUS_CR_INVALID_DEVNODE");
  EXPECT_STREQ(QXStatusLogName(0xEF000004u), "QXSTATUS_USBD_STATUS_STALL_PID");
  EXPECT_STREQ(QXStatusLogName(0x80070005u), "E_ACCESSDENIED");  // its own name comes first
  EXPECT_STREQ(QXStatusLogName(0x12345678u), "unknown");
  EXPECT_STREQ(QXStatusLogName(0xEE00110Au), "unknown");
  EXPECT_STREQ(QXStatusLogName(0xE0010002u), "unknown");
}

TEST(QXStatusNameLogTest, NamesAWin32HResultByItsErrorCode) {
  EXPECT_STREQ(QXStatusLogName(0x80070002u), "ERROR_FILE_NOT_FOUND");
  // Only the facility bits are compared: severity and the customer bit do not matter.
  EXPECT_STREQ(QXStatusLogName(0x00070002u), "ERROR_FILE_NOT_FOUND");
  EXPECT_STREQ(QXStatusLogName(0xA0070002u), "ERROR_FILE_NOT_FOUND");
  // Another facility, or facility 7 with more facility bits set, is not a Windows error.
  EXPECT_STREQ(QXStatusLogName(0x800A0002u), "unknown");
  EXPECT_STREQ(QXStatusLogName(0x90070002u), "unknown");
  // A facility-7 HRESULT whose code has no name either.
  EXPECT_STREQ(QXStatusLogName(0x8007FFFEu), "unknown");
}

#ifdef FB_WINERROR_HEADER

// The header's building blocks, which are not codes of their own.
bool IsHeaderBuildingBlock(const std::string& name) {
  auto endsWith = [&](const char* suffix) {
    std::string s(suffix);
    return name.size() >= s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0;
  };
  return name[0] == '_' || name.rfind("FACILITY_", 0) == 0 || name.rfind("SEVERITY_", 0) == 0 ||
         endsWith("_FIRST") || endsWith("_LAST") || endsWith("_BASE") || name == "WSABASEERR" ||
         name == "DNS_ERROR_MASK";
}

// Reads the object-like macros of winerror.h with a value in one of the header's common forms:
// a literal (bare, in __MSABI_LONG(), _HRESULT_TYPEDEF_(), _NDIS_ERROR_TYPEDEF_() or after a
// (HRESULT) cast), another name, or (NAME + N). A value followed by a comment is not read.
std::map<std::string, uint32_t> ReadWinErrorHeader(std::ifstream& in) {
  const std::regex define(R"(^\s*#\s*define\s+([A-Za-z_]\w*)(\(?)(.*)$)");
  const std::regex literal(R"(^(?:__MSABI_LONG|_HRESULT_TYPEDEF_|_NDIS_ERROR_TYPEDEF_)?)"
                           R"(\(*(?:\(HRESULT\))?(0[xX][0-9A-Fa-f]+|\d+)[uUlL]*\)*$)");
  const std::regex reference(R"(^\(?([A-Za-z_]\w*)(?:\+(\d+))?\)?$)");

  struct Reference {
    std::string name, base;
    uint32_t offset;
  };
  std::map<std::string, uint32_t> values;
  std::vector<Reference> references;
  std::string line;
  while (std::getline(in, line)) {
    std::smatch m;
    if (!std::regex_match(line, m, define) || m[2].length() > 0) {
      continue;  // not a #define, or a macro with parameters
    }
    std::string value = m[3];
    std::erase_if(value, [](char c) { return c == ' ' || c == '\t' || c == '\r'; });
    std::smatch v;
    if (std::regex_match(value, v, literal)) {
      values.emplace(m[1], static_cast<uint32_t>(std::stoull(v[1].str(), nullptr, 0)));
    } else if (std::regex_match(value, v, reference)) {
      references.push_back({m[1], v[1], v[2].matched ? static_cast<uint32_t>(std::stoul(v[2])) : 0u});
    }
  }
  // References may point forward; resolve until nothing changes.
  for (bool progress = true; progress;) {
    progress = false;
    for (const Reference& r : references) {
      auto base = values.find(r.base);
      if (base != values.end() && values.emplace(r.name, base->second + r.offset).second) {
        progress = true;
      }
    }
  }
  return values;
}

TEST(QXStatusNameWin32Test, MatchesThePlatformHeader) {
  std::ifstream in(FB_WINERROR_HEADER);
#ifdef _WIN32
  if (!in) {
    // Under Wine a unix path works through the drive that maps the unix root.
    in.open(std::string("Z:") + FB_WINERROR_HEADER);
  }
#endif
  if (!in) {
    GTEST_SKIP() << "cannot open " << FB_WINERROR_HEADER;
  }
  std::map<uint32_t, std::vector<std::string>> namesByValue;
  for (const auto& [name, value] : ReadWinErrorHeader(in)) {
    if (!IsHeaderBuildingBlock(name)) {
      namesByValue[value].push_back(name);
    }
  }
  // Guard against a reader that silently finds next to nothing.
  ASSERT_GT(namesByValue.size(), 3000u);

  size_t checked = 0;
  for (const auto& [value, names] : namesByValue) {
    const std::string actual = NameOr(QXWin32ErrorName(value));
    if (names.size() == 1) {
      EXPECT_EQ(actual, names[0]) << "value 0x" << std::hex << value;
      ++checked;
    } else {
      EXPECT_NE(std::find(names.begin(), names.end(), actual), names.end())
          << "value 0x" << std::hex << value;
    }
  }
  EXPECT_GT(checked, 3000u);
}

#endif  // FB_WINERROR_HEADER

}  // namespace
}  // namespace plendrik
