// SHA-256 and HMAC-SHA256 against the published vectors and against Python's hashlib and hmac,
// and the unlock computation built on them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "device/QXBootloaderUnlockKey.h"
#include "device/QXBuildBootloaderUnlockReq.h"
#include "device/QXSha256.h"
#include "device/QXSha256HMac.h"
#include "flashbridge.h"
#include "image/ImageTestFiles.h"
#include "support/TestLogTarget.h"

namespace plendrik {
namespace {

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> out;
  if (hex == "-") {
    return out;
  }
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string ToHex(const uint8_t* data, size_t size) {
  static const char* kDigits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < size; ++i) {
    s += kDigits[data[i] >> 4];
    s += kDigits[data[i] & 15];
  }
  return s;
}

std::string Sha256Hex(const std::vector<uint8_t>& message, size_t chunk = 0) {
  QXSha256 sha;
  if (chunk == 0) {
    EXPECT_EQ(sha.Input(message.data(), message.size()), kQXShaSuccess);
  } else {
    for (size_t i = 0; i < message.size(); i += chunk) {
      EXPECT_EQ(sha.Input(message.data() + i, std::min(chunk, message.size() - i)), kQXShaSuccess);
    }
  }
  uint8_t digest[kQXSha256HashSize];
  EXPECT_EQ(sha.Result(digest), kQXShaSuccess);
  return ToHex(digest, sizeof(digest));
}

std::string HmacHex(const std::vector<uint8_t>& key, const std::vector<uint8_t>& message) {
  QXHmacSha256 hmac;
  EXPECT_EQ(hmac.Reset(key.data(), key.size()), kQXShaSuccess);
  EXPECT_EQ(hmac.Input(message.data(), message.size()), kQXShaSuccess);
  uint8_t mac[kQXSha256HashSize];
  EXPECT_EQ(hmac.Result(mac), kQXShaSuccess);
  return ToHex(mac, sizeof(mac));
}

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

TEST(QXSha256Test, PublishedExamples) {
  EXPECT_EQ(Sha256Hex(Bytes("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex(Bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  const std::vector<uint8_t> million(1000000, 'a');
  EXPECT_EQ(Sha256Hex(million), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  // Fed in odd pieces, the result is the same.
  EXPECT_EQ(Sha256Hex(million, 997), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// The message schedule of a compression holds the block (for an HMAC the key XOR ipad): it
// must not stay behind in the memory the compression used.
TEST(QXSha256Test, CompressionWipesItsMessageSchedule) {
  uint8_t key[kQXUnlockKeySize];
  QXAssembleUnlockKeyGeneration0(key);
  uint8_t block[kQXSha256BlockSize] = {};
  for (size_t i = 0; i < kQXSha256BlockSize; ++i) {
    block[i] = static_cast<uint8_t>(key[i % sizeof(key)] ^ 0x36);
  }
  uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  uint32_t schedule[64];
  std::memset(schedule, 0xA5, sizeof(schedule));
  QXSha256::CompressBlock(state, block, schedule);
  const auto* bytes = reinterpret_cast<const uint8_t*>(schedule);
  EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(schedule), [](uint8_t b) { return b == 0; }));
  // The compression itself still happened.
  EXPECT_NE(state[0], 0x6a09e667u);
}

TEST(QXSha256Test, InputAfterResultIsRefused) {
  QXSha256 sha;
  uint8_t digest[kQXSha256HashSize];
  ASSERT_EQ(sha.Result(digest), kQXShaSuccess);
  const uint8_t byte = 1;
  EXPECT_EQ(sha.Input(&byte, 1), kQXShaStateError);
  EXPECT_EQ(sha.Result(digest), kQXShaStateError);
  EXPECT_EQ(sha.Input(nullptr, 4), kQXShaNull);
  QXSha256 fresh;
  EXPECT_EQ(fresh.Input(nullptr, 4), kQXShaNull);
}

// RFC 4231 test cases 1 to 7 (case 5 truncates its output and is compared on 16 bytes).
TEST(QXHmacSha256Test, Rfc4231Vectors) {
  EXPECT_EQ(HmacHex(std::vector<uint8_t>(20, 0x0b), Bytes("Hi There")),
            "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
  EXPECT_EQ(HmacHex(Bytes("Jefe"), Bytes("what do ya want for nothing?")),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(HmacHex(std::vector<uint8_t>(20, 0xaa), std::vector<uint8_t>(50, 0xdd)),
            "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe");
  std::vector<uint8_t> key4;
  for (int i = 1; i <= 25; ++i) {
    key4.push_back(static_cast<uint8_t>(i));
  }
  EXPECT_EQ(HmacHex(key4, std::vector<uint8_t>(50, 0xcd)),
            "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b");
  EXPECT_EQ(HmacHex(std::vector<uint8_t>(20, 0x0c), Bytes("Test With Truncation")).substr(0, 32),
            "a3b6167473100ee06e0c796c2955552b");
  EXPECT_EQ(HmacHex(std::vector<uint8_t>(131, 0xaa), Bytes("Test Using Larger Than Block-Size Key - Hash Key First")),
            "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
  EXPECT_EQ(HmacHex(std::vector<uint8_t>(131, 0xaa),
                    Bytes("This is a test using a larger than block-size key and a larger than block-size data. "
                          "The key needs to be hashed before being used by the HMAC algorithm.")),
            "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2");
}

// Random inputs, computed independently by Python's hashlib and hmac at build time.
TEST(QXSha256Test, MatchesPythonOnRandomInputs) {
  std::ifstream in(fbimg::TestDataFolder() / "sha256_reference.txt");
  ASSERT_TRUE(in) << "reference file missing";
  std::string line;
  int shaLines = 0;
  int hmacLines = 0;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string kind, a, b, c;
    fields >> kind >> a >> b;
    if (kind == "sha256") {
      const std::vector<uint8_t> message = FromHex(a);
      EXPECT_EQ(Sha256Hex(message), b) << "length " << message.size();
      EXPECT_EQ(Sha256Hex(message, 7), b) << "length " << message.size() << " in pieces";
      ++shaLines;
    } else if (kind == "hmac") {
      fields >> c;
      EXPECT_EQ(HmacHex(FromHex(a), FromHex(b)), c) << line;
      ++hmacLines;
    }
  }
  EXPECT_GT(shaLines, 100);
  EXPECT_GT(hmacLines, 50);
}

TEST(QXSha256HMacTest, ObjectReportsMisuseAsFailed) {
  TestLogTarget log(gLogGlobal, kQXLogLevelError);
  QXSha256HMac hmac;
  uint8_t mac[kQXSha256HashSize];
  const uint8_t byte = 0;
  EXPECT_EQ(hmac.AddBytes(&byte, 1), QXSTATUS_FAILED);
  EXPECT_TRUE(log.Contains("SHA256Input failed 3"));
  EXPECT_EQ(hmac.GetHashValue(mac), QXSTATUS_FAILED);
  EXPECT_TRUE(log.Contains("failed 3"));
  EXPECT_EQ(hmac.Init(nullptr, 32), QXSTATUS_FAILED);
}

struct Token {
  uint8_t bytes[kQXUnlockTokenSize] = {};
  Token() {
    bytes[0] = kQXUnlockTokenSize;
    for (uint32_t i = 2; i < kQXUnlockTokenSize; ++i) {
      bytes[i] = static_cast<uint8_t>(i * 37 + 11);
    }
  }
};

TEST(QXBuildBootloaderUnlockReqTest, RequestIsHmacOfTheChallengeUnderTheKey) {
  Token token;
  uint8_t request[kQXUnlockRequestSize] = {};
  ASSERT_EQ(QXBuildBootloaderUnlockReq(request, token.bytes), QXSTATUS_SUCCESS);

  uint8_t key[kQXUnlockKeySize];
  QXAssembleUnlockKeyGeneration0(key);
  const std::vector<uint8_t> challenge(token.bytes + kQXUnlockChallengeOffset,
                                       token.bytes + kQXUnlockChallengeOffset + kQXUnlockChallengeSize);
  EXPECT_EQ(ToHex(request, sizeof(request)), HmacHex({key, key + sizeof(key)}, challenge));

  // Bytes 2..15 are not part of the computation; the challenge is.
  Token other = token;
  other.bytes[5] ^= 0xFF;
  uint8_t request2[kQXUnlockRequestSize] = {};
  ASSERT_EQ(QXBuildBootloaderUnlockReq(request2, other.bytes), QXSTATUS_SUCCESS);
  EXPECT_EQ(ToHex(request2, sizeof(request2)), ToHex(request, sizeof(request)));
  other.bytes[kQXUnlockChallengeOffset + 63] ^= 0x01;
  ASSERT_EQ(QXBuildBootloaderUnlockReq(request2, other.bytes), QXSTATUS_SUCCESS);
  EXPECT_NE(ToHex(request2, sizeof(request2)), ToHex(request, sizeof(request)));
}

TEST(QXBuildBootloaderUnlockReqTest, RefusesWrongSizeAndGeneration) {
  TestLogTarget log(gLogGlobal, kQXLogLevelError);
  Token token;
  uint8_t request[kQXUnlockRequestSize] = {};
  token.bytes[0] = 0x40;
  EXPECT_EQ(QXBuildBootloaderUnlockReq(request, token.bytes), QXSTATUS_INVALID_SIZE);
  EXPECT_TRUE(log.Contains("invalid size 64"));
  token.bytes[0] = kQXUnlockTokenSize;
  token.bytes[1] = 1;
  EXPECT_EQ(QXBuildBootloaderUnlockReq(request, token.bytes), QXSTATUS_INVALID_PARAMETER);
  EXPECT_TRUE(log.Contains("invalid keyGeneration 1"));
  for (uint8_t b : request) {
    EXPECT_EQ(b, 0);
  }
}

// The key must never reach a log line: a whole computation with every logger open writes no
// line that carries the key's bytes in any common rendering.
TEST(QXBuildBootloaderUnlockReqTest, KeyNeverLogged) {
  TestLogTarget log(gLogGlobal, kQXLogLevelAll);
  Token token;
  uint8_t request[kQXUnlockRequestSize] = {};
  ASSERT_EQ(QXBuildBootloaderUnlockReq(request, token.bytes), QXSTATUS_SUCCESS);
  token.bytes[1] = 7;
  (void)QXBuildBootloaderUnlockReq(request, token.bytes);
  uint8_t key[kQXUnlockKeySize];
  QXAssembleUnlockKeyGeneration0(key);
  const std::string keyHex = ToHex(key, sizeof(key));
  QXHmacSha256::Wipe(key, sizeof(key));
  for (const TestLogTarget::Line& line : log.Lines()) {
    EXPECT_EQ(line.text.find(keyHex.substr(0, 16)), std::string::npos) << line.text;
  }
}

}  // namespace
}  // namespace plendrik
