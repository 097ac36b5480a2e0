// Descriptor bytes of a simulated device, built from its specification (USB 2.0 chapter 9).
#include "sim/SimDevice.h"

namespace plendrik::sim {

namespace {

void Put16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value & 0xFF));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

}  // namespace

std::vector<uint8_t> BuildSimDeviceDescriptor(const SimDeviceSpec& spec) {
  std::vector<uint8_t> d;
  d.push_back(18);
  d.push_back(1);
  Put16(d, spec.bcdUSB);
  d.push_back(spec.deviceClass);
  d.push_back(spec.deviceSubClass);
  d.push_back(spec.deviceProtocol);
  d.push_back(spec.maxPacketSize0);
  Put16(d, spec.vendorId);
  Put16(d, spec.productId);
  Put16(d, spec.bcdDevice);
  d.push_back(spec.iManufacturer);
  d.push_back(spec.iProduct);
  d.push_back(spec.iSerialNumber);
  d.push_back(static_cast<uint8_t>(spec.configurations.size()));
  return d;
}

std::vector<uint8_t> BuildSimConfigurationDescriptor(const SimConfigurationSpec& configuration) {
  std::vector<uint8_t> d{9, 2, 0, 0, static_cast<uint8_t>(configuration.interfaces.size()),
                         configuration.configurationValue, configuration.iConfiguration, configuration.attributes,
                         configuration.maxPower};
  for (const SimInterfaceSpec& interface : configuration.interfaces) {
    for (const SimAltSettingSpec& alt : interface.altSettings) {
      d.insert(d.end(), {9, 4, interface.interfaceNumber, alt.alternateSetting,
                         static_cast<uint8_t>(alt.endpoints.size()), alt.interfaceClass, alt.interfaceSubClass,
                         alt.interfaceProtocol, alt.iInterface});
      for (const std::vector<uint8_t>& functional : alt.functionalDescriptors) {
        d.insert(d.end(), functional.begin(), functional.end());
      }
      for (const SimEndpointSpec& endpoint : alt.endpoints) {
        d.insert(d.end(), {7, 5, endpoint.address, endpoint.attributes});
        Put16(d, endpoint.maxPacketSize);
        d.push_back(endpoint.interval);
      }
    }
  }
  const uint16_t total = static_cast<uint16_t>(d.size());
  d[2] = static_cast<uint8_t>(total & 0xFF);
  d[3] = static_cast<uint8_t>(total >> 8);
  return d;
}

std::vector<uint8_t> BuildSimStringDescriptor(QXWStringView text) {
  // At most 126 code units fit into a descriptor whose length is one byte.
  const size_t units = text.size() > 126 ? 126 : text.size();
  std::vector<uint8_t> d{static_cast<uint8_t>(2 + 2 * units), 3};
  for (size_t i = 0; i < units; ++i) {
    Put16(d, static_cast<uint16_t>(text[i]));
  }
  return d;
}

std::vector<uint8_t> BuildSimLangIdDescriptor(const std::vector<uint16_t>& langIds) {
  const size_t count = langIds.size() > 126 ? 126 : langIds.size();
  std::vector<uint8_t> d{static_cast<uint8_t>(2 + 2 * count), 3};
  for (size_t i = 0; i < count; ++i) {
    Put16(d, langIds[i]);
  }
  return d;
}

}  // namespace plendrik::sim

namespace plendrik::sim {

std::vector<uint8_t> FilterSimConfigurationForFunction(const std::vector<uint8_t>& config, uint8_t function) {
  if (config.size() < 9) {
    return config;
  }
  // The function's interfaces: the one it is named after, plus those an interface
  // association starting there groups with it.
  std::vector<bool> member(256, false);
  member[function] = true;
  for (size_t offset = config[0]; offset + 4 <= config.size() && config[offset] >= 2; offset += config[offset]) {
    if (config[offset + 1] == 11 && config[offset] >= 4 && config[offset + 2] == function) {
      for (unsigned n = function; n < static_cast<unsigned>(function) + config[offset + 3] && n < 256; ++n) {
        member[n] = true;
      }
    }
  }
  std::vector<uint8_t> out(config.begin(), config.begin() + 9);
  std::vector<bool> counted(256, false);
  uint8_t interfaces = 0;
  bool keep = false;
  for (size_t offset = config[0]; offset + 2 <= config.size() && config[offset] >= 2; offset += config[offset]) {
    const uint8_t length = config[offset];
    const uint8_t type = config[offset + 1];
    if (offset + length > config.size()) {
      break;
    }
    if (type == 4 && length >= 3) {
      const uint8_t number = config[offset + 2];
      keep = member[number];
      if (keep && !counted[number]) {
        counted[number] = true;
        ++interfaces;
      }
    } else if (type == 11 && length >= 3) {
      keep = config[offset + 2] == function;
    }
    if (keep) {
      out.insert(out.end(), config.begin() + static_cast<std::ptrdiff_t>(offset),
                 config.begin() + static_cast<std::ptrdiff_t>(offset + length));
    }
  }
  out[2] = static_cast<uint8_t>(out.size() & 0xFF);
  out[3] = static_cast<uint8_t>(out.size() >> 8);
  out[4] = interfaces;
  return out;
}

}  // namespace plendrik::sim
