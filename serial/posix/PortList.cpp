// The serial ports of a Linux machine, from what udev and the kernel publish, without opening
// any: the stable names (a Raspberry Pi's /dev/serial0 and /dev/serial1, and those udev gives USB
// adapters in /dev/serial/by-id), then the USB and ACM devices no such name points to, then the
// board's own UARTs (ttyS, ttyAMA, ttymxc, ttyO, ...): every tty that sysfs shows a device
// behind. The kernel makes 4 to 32 ttyS nodes whatever the hardware, each with a device;
// /sys/class/tty/ttySN/type is 0 for those without a UART.

#include "serial/posix/PortList.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <set>
#include <string>
#include <tuple>

namespace serial {
namespace {

namespace fs = std::filesystem;

// "ttyUSB10" as ("ttyUSB", 10), so that ttyUSB2 comes before ttyUSB10.
std::tuple<std::string, unsigned> NaturalKey(const std::string& name) {
  const std::size_t digits = name.find_first_of("0123456789");
  unsigned number = 0;
  if (digits != std::string::npos) {
    std::from_chars(name.data() + digits, name.data() + name.size(), number);
  }
  return {name.substr(0, digits), number};
}

// What a symlink under /dev points to, as a path under /dev (udev makes them relative).
std::string LinkTarget(const fs::path& link, const fs::path& shownFolder) {
  std::error_code error;
  fs::path target = fs::read_symlink(link, error);
  if (error) {
    return {};
  }
  if (target.is_relative()) {
    target = shownFolder / target;
  }
  return target.lexically_normal().string();
}

}  // namespace

std::vector<ListedPort> ListPortsUnder(const fs::path& root) {
  std::vector<ListedPort> stable;
  std::set<std::string> named;  // the devices a stable name already stands for
  const auto addStable = [&](const fs::path& link, const fs::path& folder) {
    const std::string device = LinkTarget(root / link.relative_path(), folder);
    stable.push_back({link.string(), device});
    named.insert(device);
  };
  // Raspberry Pi OS names the UART on the GPIO pins serial0, and the other one serial1.
  for (const char* board : {"/dev/serial0", "/dev/serial1"}) {
    std::error_code notLink;
    if (fs::is_symlink(root / fs::path(board).relative_path(), notLink)) {
      addStable(board, "/dev");
    }
  }
  std::vector<fs::path> byIdLinks;
  std::error_code error;
  const fs::path byId = "/dev/serial/by-id";
  for (const fs::directory_entry& entry :
       fs::directory_iterator(root / byId.relative_path(), error)) {
    std::error_code notLink;
    if (entry.is_symlink(notLink)) {
      byIdLinks.push_back(byId / entry.path().filename());
    }
  }
  std::sort(byIdLinks.begin(), byIdLinks.end());
  for (const fs::path& link : byIdLinks) {
    addStable(link, byId);
  }

  // Every tty with a device behind it: virtual terminals, ptys and the console have none.
  std::vector<std::pair<std::tuple<bool, std::string, unsigned>, ListedPort>> others;
  for (const fs::directory_entry& entry : fs::directory_iterator(root / "sys/class/tty", error)) {
    std::error_code noDevice;
    if (!fs::exists(entry.path() / "device", noDevice)) {
      continue;
    }
    const std::string name = entry.path().filename().string();
    const std::string device = "/dev/" + name;
    if (named.contains(device)) {
      continue;
    }
    const auto [prefix, number] = NaturalKey(name);
    std::string detail;
    if (prefix == "ttyS") {
      unsigned type = 0;
      std::ifstream(entry.path() / "type") >> type;
      if (type == 0) {
        continue;  // no UART behind this 8250 node
      }
      detail = "COM" + std::to_string(number + 1);
    } else {
      std::error_code noDriver;
      detail = fs::read_symlink(entry.path() / "device/driver", noDriver).filename().string();
    }
    // USB and ACM devices before the board's own UARTs, each in the order of their numbers.
    const bool board = prefix != "ttyUSB" && prefix != "ttyACM";
    others.push_back({{board, prefix, number}, {device, detail}});
  }
  std::sort(others.begin(), others.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [key, port] : others) {
    stable.push_back(std::move(port));
  }
  return stable;
}

std::vector<ListedPort> ListPorts() {
  return ListPortsUnder("/");
}

}  // namespace serial
