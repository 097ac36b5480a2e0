#include "record/QXSerialPseudonyms.h"

#include "device/QXSha256.h"
#include "os/QXOsString.h"
#include "record/QXJsonLine.h"

namespace plendrik {

namespace {

constexpr uint8_t kStringDescriptor = 3;

// The text of a whole string descriptor in UTF-8; false for one cut short, of another type, or
// holding a NUL.
bool DescriptorText(const uint8_t* data, size_t size, std::string& text) {
  if (size < 2 || data[1] != kStringDescriptor || data[0] > size || data[0] < 2) {
    return false;
  }
  QXWString units;
  for (size_t i = 2; i + 1 < data[0]; i += 2) {
    const auto unit = static_cast<QXWChar>(data[i] | (data[i + 1] << 8));
    if (unit == 0) {
      return false;
    }
    units += unit;
  }
  text = QXUtf16ToUtf8(units);
  return true;
}

// The pseudonym's string descriptor followed by the bytes after the descriptor it replaces.
std::vector<uint8_t> PseudonymDescriptor(const std::string& pseudonym, const uint8_t* data, size_t size) {
  std::vector<uint8_t> masked{static_cast<uint8_t>(2 + 2 * pseudonym.size()), kStringDescriptor};
  for (const char c : pseudonym) {
    masked.push_back(static_cast<uint8_t>(c));
    masked.push_back(0);
  }
  masked.insert(masked.end(), data + data[0], data + size);
  return masked;
}

}  // namespace

std::string QXSerialPseudonyms::Pseudonym(const std::string& serial) {
  QXSha256 sha;
  sha.Input(serial.data(), serial.size());
  uint8_t digest[kQXSha256HashSize];
  sha.Result(digest);
  return "P" + QXAsciiUpper(QXJsonLine::HexText(digest, 4));
}

void QXSerialPseudonyms::LearnFromInstanceId(const std::string& instance) {
  const size_t slash = instance.rfind('\\');
  if (slash == std::string::npos || slash + 1 >= instance.size()) {
    return;
  }
  const std::string serial = instance.substr(slash + 1);
  if (serial.find('&') != std::string::npos) {
    return;
  }
  Learn(serial);
}

void QXSerialPseudonyms::Learn(const std::string& serial) {
  const std::string key = QXAsciiUpper(serial);
  if (!serial.empty() && mSerials.find(key) == mSerials.end()) {
    mSerials.emplace(key, Pseudonym(serial));
  }
}

std::vector<uint8_t> QXSerialPseudonyms::LearnFromSerialDescriptor(const uint8_t* data, size_t size) {
  std::string serial;
  if (DescriptorText(data, size, serial)) {
    Learn(serial);
    return MaskedStringDescriptor(data, size);
  }
  std::vector<uint8_t> masked(size, 0);
  for (size_t i = 0; i < size && i < 2; ++i) {
    masked[i] = data[i];
  }
  return masked;
}

std::string QXSerialPseudonyms::Masked(const std::string& text, char separator) const {
  if (mSerials.empty()) {
    return text;
  }
  std::string out;
  size_t begin = 0;
  for (;;) {
    const size_t end = text.find(separator, begin);
    const std::string part = text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    const auto found = mSerials.find(QXAsciiUpper(part));
    out += found != mSerials.end() ? found->second : part;
    if (end == std::string::npos) {
      return out;
    }
    out += separator;
    begin = end + 1;
  }
}

std::vector<uint8_t> QXSerialPseudonyms::MaskedStringDescriptor(const uint8_t* data, size_t size) const {
  std::string text;
  if (mSerials.empty() || !DescriptorText(data, size, text)) {
    return std::vector<uint8_t>(data, data + size);
  }
  const auto found = mSerials.find(QXAsciiUpper(text));
  if (found == mSerials.end()) {
    return std::vector<uint8_t>(data, data + size);
  }
  return PseudonymDescriptor(found->second, data, size);
}

}  // namespace plendrik
