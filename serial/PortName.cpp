#include "serial/PortName.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <utility>

namespace serial {

std::optional<unsigned> ComNumber(const std::string& value) {
  if (value.size() <= 3 || value[3] == '0' ||
      !std::equal(value.begin(), value.begin() + 3, "COM", [](char a, char b) {
        return std::toupper(static_cast<unsigned char>(a)) == b;
      })) {
    return std::nullopt;
  }
  unsigned number = 0;
  const char* end = value.data() + value.size();
  const auto [rest, error] = std::from_chars(value.data() + 3, end, number);
  if (error != std::errc{} || rest != end || number == 0) {
    return std::nullopt;
  }
  return number;
}

std::optional<NetworkAddress> NetworkPortOf(const std::string& name) {
  NetworkAddress address;
  std::string rest;
  for (const auto& [scheme, rfc2217] : {std::pair{"rfc2217://", true}, {"socket://", false}}) {
    if (name.starts_with(scheme)) {
      address.rfc2217 = rfc2217;
      rest = name.substr(std::string(scheme).size());
    }
  }
  const std::size_t colon = rest.rfind(':');
  if (rest.empty() || colon == std::string::npos) {
    return std::nullopt;
  }
  address.host = rest.substr(0, colon);
  address.port = rest.substr(colon + 1);
  if (address.host.starts_with('[') && address.host.ends_with(']')) {
    address.host = address.host.substr(1, address.host.size() - 2);
  } else if (address.host.find(':') != std::string::npos) {
    return std::nullopt;  // an IPv6 address goes in brackets
  }
  unsigned number = 0;
  const char* end = address.port.data() + address.port.size();
  const auto [stop, error] = std::from_chars(address.port.data(), end, number);
  if (address.host.empty() || address.host.find_first_of("/ []@") != std::string::npos ||
      error != std::errc{} || stop != end || number == 0 || number > 65535 ||
      address.port.starts_with('0')) {
    return std::nullopt;
  }
  return address;
}

std::optional<std::string> PortDevice(const std::string& value) {
  if (NetworkPortOf(value)) {
    return value;
  }
  return LocalPortDevice(value);
}

std::string PortDeviceAccepts() {
  return std::string(LocalPortsAccepted()) + ", or rfc2217://HOST:PORT or socket://HOST:PORT";
}

}  // namespace serial
