// Port names and URLs as --port takes them: COMn, device paths, rfc2217:// and socket:// with
// every form of host (names, IPv4, IPv6 in brackets) and port. What names a port names the same
// port again; an address on the network has a host and a port from 1 to 65535.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "serial/PortName.h"
#include "tests/fuzz/Fuzz.h"

using fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  const std::string value(reinterpret_cast<const char*>(input), size);
  if (const auto address = serial::NetworkPortOf(value)) {
    unsigned port = 0;
    const auto [end, error] =
        std::from_chars(address->port.data(), address->port.data() + address->port.size(), port);
    Require(!address->host.empty() && error == std::errc{} &&
            end == address->port.data() + address->port.size() && port >= 1 && port <= 65535);
    Require(address->host.find_first_of("/ []@") == std::string::npos);
  }
  if (const auto number = serial::ComNumber(value)) {
    Require(*number >= 1 && value.size() == 3 + std::to_string(*number).size());
  }
  // What --port makes of a value is a device it takes as itself.
  if (const auto device = serial::PortDevice(value)) {
    Require(serial::PortDevice(*device) == device);
  }
  return 0;
}
