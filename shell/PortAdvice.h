#pragma once

// What a user is told about the serial ports: the list --list-ports prints, and what to do about
// a port that could not be had.

#include <string>
#include <vector>

#include "serial/PortList.h"
#include "serial/PortOptions.h"

namespace shell {

// One port a line: its name as --port takes it, then what is behind it, e.g.
// "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0  /dev/ttyUSB0".
std::string PortListText(const std::vector<serial::ListedPort>& ports);

// What to do about a port that could not be had for `problem`, as sentences that follow the
// message saying why: the other ports this computer has (never `failed`, the port that could not
// be had) and the option that picks one, or how to free the port. `reconnect`: the port is tried
// again at each tick. `docs` names where the options are described ("README.txt", "man
// checkfeed").
std::string PortAdvice(serial::PortProblem problem, bool reconnect,
                       const std::vector<serial::ListedPort>& ports, const std::string& docs,
                       const std::string& failed);

}  // namespace shell
