#pragma once

// A port on the network, behind a device server or ser2net: rfc2217://HOST:PORT, whose line the
// program sets through RFC 2217 (serial/Rfc2217.h), or socket://HOST:PORT, which carries the bytes
// as they are. It meets the contract a port of this computer meets (serial/NativePort.h), so the
// rest of the program (the rotation, the beat, a held line, reconnecting) does not know the
// difference. Neutral code: the connection is os/Socket.h's.

#include "os/Wait.h"
#include "serial/NativePort.h"
#include "serial/PortName.h"

namespace serial {

// Connects to `address` for the program alone, and for RFC 2217 gives the port behind it the
// options' line, waiting a bounded time for the server to acknowledge it. `cancel` ends a write
// under way, `input` hears what the server sends (os/Input.h).
OpenedPort OpenNetworkPort(const NetworkAddress& address, const PortOptions& options,
                           os::WakeHandle cancel, os::WakeHandle input);

}  // namespace serial
