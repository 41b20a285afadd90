#pragma once

// A port on the network, behind a device server or ser2net: rfc2217://HOST:PORT, whose line the
// program sets through RFC 2217 (serial/network/Rfc2217.h), or socket://HOST:PORT, which carries
// the bytes as they are. It is the second implementation of the port's contract
// (serial/NativePort.h), so the rest of the program (the rotation, the beat, a held line,
// reconnecting) does not know the difference. Neutral code: the connection is os/Socket.h's.
//
// Everything it sends goes through one queue (serial/network/Outgoing.h): the device's bytes and
// telnet's words leave in order, a word only between whole escapes, and every byte is sent or the
// port has failed. A connection that fails is closed at once and said once.

#include <memory>

#include "os/Socket.h"
#include "os/Wait.h"
#include "serial/NativePort.h"
#include "serial/PortName.h"

namespace serial {

// Connects to `address` for the program alone, and for RFC 2217 gives the port behind it the
// options' line, waiting a bounded time for the server to acknowledge it. `cancel` ends a write
// under way, `input` hears what the server sends (os/Input.h).
OpenedPort OpenNetworkPort(const NetworkAddress& address, const PortOptions& options,
                           os::WakeHandle cancel, os::WakeHandle input);

// The same over a connection already made (`rfc2217`: speaking RFC 2217, or the bytes alone):
// what OpenNetworkPort does once connected, and what tests give a stand-in connection.
OpenedPort OpenNetworkPortOver(std::unique_ptr<os::Socket> socket, bool rfc2217,
                               const PortOptions& options, os::WakeHandle cancel);

}  // namespace serial
