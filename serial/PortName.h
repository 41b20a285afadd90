#pragma once

// What a --port value names: a port on the network (rfc2217://HOST:PORT, socket://HOST:PORT), or
// one of this computer's. "COMn" is parsed here, once; each system maps it to its own device
// (serial/posix/NativePort.cpp, serial/win32/NativePort.cpp).

#include <optional>
#include <string>

namespace serial {

// n, when `value` is "COMn" in any case, n from 1 and without leading zeros; nothing otherwise.
[[nodiscard]] std::optional<unsigned> ComNumber(const std::string& value);

// The device COM1 stands for: /dev/ttyS0 on Linux, COM1 on Windows.
std::string DefaultPort();

// A port on the network, as rfc2217://HOST:PORT (the line set through RFC 2217) or
// socket://HOST:PORT (the bytes alone) name it. HOST is a name, an IPv4 address, or an IPv6
// address in brackets; PORT a number from 1 to 65535.
struct NetworkAddress {
  bool rfc2217 = false;
  std::string host;  // without the brackets
  std::string port;
};
[[nodiscard]] std::optional<NetworkAddress> NetworkPortOf(const std::string& name);

// The device a --port value names, as the program names it in its messages, or nothing when the
// value names none: a port on the network is its URL, and this computer's are LocalPortDevice's.
[[nodiscard]] std::optional<std::string> PortDevice(const std::string& value);

// What --port accepts, for the message about a value it does not.
std::string PortDeviceAccepts();

// This computer's ports: on Linux "COMn" (any case) is /dev/ttyS<n-1> and an absolute path is
// itself; on Windows "COMn" (n from 1 to 256, any case) and "\\.\COMn" are COMn, and another
// "\\.\NAME" is itself.
[[nodiscard]] std::optional<std::string> LocalPortDevice(const std::string& value);
const char* LocalPortsAccepted();

// Whether `a` and `b` name the same port, as the system tells ports apart: on Linux the same
// device file (a link to it included), on Windows the same name in any case.
[[nodiscard]] bool SamePort(const std::string& a, const std::string& b);

}  // namespace serial
