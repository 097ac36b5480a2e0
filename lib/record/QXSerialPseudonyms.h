// The serial numbers a recording has seen and their stable pseudonyms: "P" and the first 8
// uppercase hex digits of the SHA-256 of the serial's UTF-8, the same in every recording. A
// serial is learnt from the last part of an instance id or from the string descriptor a device
// names as its serial number (a composite device's functions have instance ids the system
// made up), and replaced, in any letter case, in the parts of paths and ids and in a string
// descriptor that spells it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace plendrik {

class QXSerialPseudonyms {
 public:
  static std::string Pseudonym(const std::string& serial);

  // Learns the serial of USB\VID_xxxx&PID_xxxx\<serial>; an id the system made up (it holds
  // '&') names no serial.
  void LearnFromInstanceId(const std::string& instance);
  // Learns the serial a device's serial-number string descriptor spells (with whatever follows
  // it) and answers the descriptor masked: the pseudonym's descriptor, or for an answer shorter
  // than its bLength, its first two bytes and zeros in place of the text.
  std::vector<uint8_t> LearnFromSerialDescriptor(const uint8_t* data, size_t size);
  void Clear() { mSerials.clear(); }

  // The text with each part between separators that is a known serial replaced.
  std::string Masked(const std::string& text, char separator) const;
  // A string descriptor (with whatever follows it) whose text is a known serial becomes the
  // pseudonym's descriptor, bLength recomputed; anything else is returned as it is.
  std::vector<uint8_t> MaskedStringDescriptor(const uint8_t* data, size_t size) const;

 private:
  void Learn(const std::string& serial);

  std::map<std::string, std::string> mSerials;  // uppercase serial -> pseudonym
};

}  // namespace plendrik
