#pragma once

// The serial ports this computer has, as --list-ports and the failure box name them.

#include <string>
#include <vector>

namespace serial {

// A serial port this computer has, found without opening it: its name as --port takes it, and
// what the system says is behind it ("/dev/ttyUSB0", "USB Serial Port (COM3)"), or "".
struct ListedPort {
  std::string name;
  std::string detail;
};

// The serial ports this computer has, in the order a user would look for them. Never opens a
// port: opening one raises DTR and RTS, and many devices reset or print when that happens.
std::vector<ListedPort> ListPorts();

}  // namespace serial
