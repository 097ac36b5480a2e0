// Serial numbers replaced by their pseudonyms: only whole parts of paths and ids, in any
// letter case, and a string descriptor that spells the serial; the pseudonym's digits are
// those of Python's hashlib.sha256(b"QX7SER42").
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "record/QXSerialPseudonyms.h"

namespace plendrik {
namespace {

struct MaskCase {
  friend void PrintTo(const MaskCase& c, std::ostream* os) { *os << c.text; }
  const char* text;
  char separator;
  const char* masked;
};

class SerialPseudonymMask : public ::testing::TestWithParam<MaskCase> {};

TEST_P(SerialPseudonymMask, ReplacesWholePartsOnly) {
  QXSerialPseudonyms pseudonyms;
  pseudonyms.LearnFromInstanceId("USB\\VID_1209&PID_5A11\\QX7SER42");
  pseudonyms.LearnFromInstanceId("USB\\VID_1209&PID_0002\\5&1A2B3C&0&2");  // made up by the system
  EXPECT_EQ(pseudonyms.Masked(GetParam().text, GetParam().separator), GetParam().masked);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SerialPseudonymMask,
    ::testing::Values(MaskCase{"USB\\VID_1209&PID_5A12\\QX7SER42", '\\', "USB\\VID_1209&PID_5A12\\P6AC7310F"},
                      MaskCase{"\\\\?\\usb#vid_1209&pid_5a11#qx7ser42#{guid}", '#',
                               "\\\\?\\usb#vid_1209&pid_5a11#P6AC7310F#{guid}"},
                      MaskCase{"usb#vid_1209#xqx7ser42#{guid}", '#', "usb#vid_1209#xqx7ser42#{guid}"},
                      MaskCase{"USB\\VID_1209&PID_0002\\5&1A2B3C&0&2", '\\', "USB\\VID_1209&PID_0002\\5&1A2B3C&0&2"}));

std::vector<uint8_t> Descriptor(const std::string& text, std::vector<uint8_t> tail) {
  std::vector<uint8_t> out{static_cast<uint8_t>(2 + 2 * text.size()), 3};
  for (const char c : text) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(0);
  }
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

TEST(SerialPseudonymDescriptor, SerialStringBecomesThePseudonymsWithItsLength) {
  QXSerialPseudonyms pseudonyms;
  pseudonyms.LearnFromInstanceId("USB\\VID_1209&PID_5A11\\QX7SER42");
  const auto descriptor = Descriptor;
  const std::vector<uint8_t> serial = descriptor("qx7ser42", {0xAA});
  EXPECT_EQ(pseudonyms.MaskedStringDescriptor(serial.data(), serial.size()), descriptor("P6AC7310F", {0xAA}));
  const std::vector<uint8_t> other = descriptor("Plendrik", {});
  EXPECT_EQ(pseudonyms.MaskedStringDescriptor(other.data(), other.size()), other);
  // A partial read (bLength beyond the bytes read) is left as it is.
  EXPECT_EQ(pseudonyms.MaskedStringDescriptor(serial.data(), 4),
            std::vector<uint8_t>(serial.begin(), serial.begin() + 4));
}

// The serial-number string of a device whose instance id names no serial: learnt from the
// descriptor, which is masked, and masked in the paths after it; a short read shows no text.
TEST(SerialPseudonymDescriptor, SerialNumberStringIsLearntAndMasked) {
  QXSerialPseudonyms pseudonyms;
  pseudonyms.LearnFromInstanceId("USB\\VID_1209&PID_5A11&MI_01\\6&1A2B3C&0&0001");
  const std::vector<uint8_t> serial = Descriptor("QX7SER42", {});
  EXPECT_EQ(pseudonyms.MaskedStringDescriptor(serial.data(), serial.size()), serial);
  EXPECT_EQ(pseudonyms.LearnFromSerialDescriptor(serial.data(), serial.size()), Descriptor("P6AC7310F", {}));
  EXPECT_EQ(pseudonyms.Masked("usb#vid_1209&pid_5a12#qx7ser42#{guid}", '#'), "usb#vid_1209&pid_5a12#P6AC7310F#{guid}");
  EXPECT_EQ(pseudonyms.LearnFromSerialDescriptor(serial.data(), 6), (std::vector<uint8_t>{serial[0], 3, 0, 0, 0, 0}));
  // Text beyond ASCII is learnt as its UTF-8 ("Ser\u00e9").
  const std::vector<uint8_t> accented{10, 3, 'S', 0, 'e', 0, 'r', 0, 0xE9, 0};
  const std::vector<uint8_t> masked = pseudonyms.LearnFromSerialDescriptor(accented.data(), accented.size());
  EXPECT_EQ(masked, Descriptor(QXSerialPseudonyms::Pseudonym("Ser\xC3\xA9"), {}));
}

}  // namespace
}  // namespace plendrik
