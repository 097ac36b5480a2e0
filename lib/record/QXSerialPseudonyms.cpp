#include "record/QXSerialPseudonyms.h"

#include "device/QXSha256.h"
#include "os/QXOsString.h"
#include "record/QXJsonLine.h"

namespace plendrik {

namespace {

constexpr uint8_t kStringDescriptor = 3;

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
  const std::string key = QXAsciiUpper(serial);
  if (mSerials.find(key) == mSerials.end()) {
    mSerials.emplace(key, Pseudonym(serial));
  }
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
  std::vector<uint8_t> bytes(data, data + size);
  if (mSerials.empty() || size < 2 || data[1] != kStringDescriptor || data[0] > size) {
    return bytes;
  }
  std::string text;
  for (size_t i = 2; i + 1 < data[0]; i += 2) {
    if (data[i + 1] != 0 || data[i] == 0) {
      return bytes;  // the serials of instance ids are ASCII
    }
    text += static_cast<char>(data[i]);
  }
  const auto found = mSerials.find(QXAsciiUpper(text));
  if (found == mSerials.end()) {
    return bytes;
  }
  std::vector<uint8_t> masked{static_cast<uint8_t>(2 + 2 * found->second.size()), kStringDescriptor};
  for (const char c : found->second) {
    masked.push_back(static_cast<uint8_t>(c));
    masked.push_back(0);
  }
  masked.insert(masked.end(), data + data[0], data + size);
  return masked;
}

}  // namespace plendrik
