// The serial ports of a Linux machine, from what udev and the kernel publish, without opening
// any: the stable names udev gives USB adapters (/dev/serial/by-id), the USB and ACM devices no
// such name points to, and the ttyS nodes that have a UART behind them. The kernel makes 4 to 32
// ttyS nodes whatever the hardware; /sys/class/tty/ttySN/type is 0 for those without one.

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
  std::error_code error;
  const fs::path byId = "/dev/serial/by-id";
  for (const fs::directory_entry& entry :
       fs::directory_iterator(root / byId.relative_path(), error)) {
    std::error_code notLink;
    if (!entry.is_symlink(notLink)) {
      continue;
    }
    const std::string device = LinkTarget(entry.path(), byId);
    stable.push_back({(byId / entry.path().filename()).string(), device});
    named.insert(device);
  }
  std::sort(stable.begin(), stable.end(),
            [](const ListedPort& a, const ListedPort& b) { return a.name < b.name; });

  std::vector<std::pair<std::tuple<std::string, unsigned>, ListedPort>> others;
  for (const fs::directory_entry& entry : fs::directory_iterator(root / "sys/class/tty", error)) {
    const std::string name = entry.path().filename().string();
    const std::string device = "/dev/" + name;
    if (name.starts_with("ttyUSB") || name.starts_with("ttyACM")) {
      if (!named.contains(device)) {
        std::error_code noDriver;
        const fs::path driver = fs::read_symlink(entry.path() / "device/driver", noDriver);
        others.push_back({NaturalKey(name), {device, noDriver ? "" : driver.filename().string()}});
      }
    } else if (name.size() > 4 && name.starts_with("ttyS") &&
               name.find_first_not_of("0123456789", 4) == std::string::npos) {
      unsigned type = 0;
      std::ifstream(entry.path() / "type") >> type;
      if (type != 0) {
        const auto key = NaturalKey(name);
        others.push_back({key, {device, "COM" + std::to_string(std::get<1>(key) + 1)}});
      }
    }
  }
  // USB and ACM devices before the built-in ports, each in the order of their numbers.
  std::sort(others.begin(), others.end(), [](const auto& a, const auto& b) {
    return std::make_tuple(std::get<0>(a.first) == "ttyS", a.first) <
           std::make_tuple(std::get<0>(b.first) == "ttyS", b.first);
  });
  for (auto& [key, port] : others) {
    stable.push_back(std::move(port));
  }
  return stable;
}

std::vector<ListedPort> ListPorts() {
  return ListPortsUnder("/");
}

}  // namespace serial
