#pragma once

// The serial ports of a Linux machine, listed from what udev and the kernel publish about them,
// as text: the stable names (a Raspberry Pi's /dev/serial0 and /dev/serial1, and the links udev
// makes in /dev/serial/by-id), then the USB and ACM devices no such name points to, then the
// board's own UARTs (ttyS, ttyAMA, ttymxc, ttyO, ...): every tty that sysfs shows a device
// behind. The kernel makes 4 to 32 ttyS nodes whatever the hardware, each with a device;
// /sys/class/tty/ttySN/type is 0 for those without a UART. Pure: serial/posix/PortList.cpp reads
// the text from the files; tests and the fuzzer give their own.

#include <string>
#include <vector>

#include "serial/PortList.h"

namespace serial {

// A link to a port: its path, and where it points as the link says it ("../../ttyUSB0").
struct PublishedLink {
  std::string link;
  std::string target;
};

// A tty as sysfs shows it in /sys/class/tty.
struct PublishedTty {
  std::string name;     // "ttyUSB0"
  bool device = false;  // a device behind it: virtual terminals, ptys and the console have none
  std::string type;     // the text of its "type" attribute, or ""
  std::string driver;   // where its device/driver link points, or ""
};

// The listing: `board` (/dev/serial0, /dev/serial1) first, then `byId` in the order of their
// names, then every tty with a device no link already names, USB and ACM devices before the
// board's own UARTs, each in the order of their numbers (ttyUSB2 before ttyUSB10).
std::vector<ListedPort> ListPublished(const std::vector<PublishedLink>& board,
                                      std::vector<PublishedLink> byId,
                                      const std::vector<PublishedTty>& ttys);

}  // namespace serial
