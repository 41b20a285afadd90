// The serial ports of a Linux machine, without opening any: what udev and the kernel publish,
// read from the files and listed by serial/PortListing.h.

#include "serial/posix/PortList.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

#include "serial/PortListing.h"

namespace serial {
namespace {

namespace fs = std::filesystem;

// Where a link points, as it says it; "" when it is none.
std::string Pointed(const fs::path& link) {
  std::error_code error;
  const fs::path target = fs::read_symlink(link, error);
  return error ? std::string() : target.string();
}

}  // namespace

std::vector<ListedPort> ListPortsUnder(const fs::path& root) {
  // Raspberry Pi OS names the UART on the GPIO pins serial0, and the other one serial1.
  std::vector<PublishedLink> board;
  for (const char* link : {"/dev/serial0", "/dev/serial1"}) {
    std::error_code notLink;
    if (fs::is_symlink(root / fs::path(link).relative_path(), notLink)) {
      board.push_back({link, Pointed(root / fs::path(link).relative_path())});
    }
  }
  std::vector<PublishedLink> byId;
  std::error_code error;
  const fs::path byIdFolder = "/dev/serial/by-id";
  for (const fs::directory_entry& entry :
       fs::directory_iterator(root / byIdFolder.relative_path(), error)) {
    std::error_code notLink;
    if (entry.is_symlink(notLink)) {
      byId.push_back({(byIdFolder / entry.path().filename()).string(), Pointed(entry.path())});
    }
  }
  std::vector<PublishedTty> ttys;
  for (const fs::directory_entry& entry : fs::directory_iterator(root / "sys/class/tty", error)) {
    std::error_code noDevice;
    PublishedTty tty{.name = entry.path().filename().string(),
                     .device = fs::exists(entry.path() / "device", noDevice),
                     .type = {},
                     .driver = Pointed(entry.path() / "device/driver")};
    if (tty.device) {
      std::ifstream type(entry.path() / "type");
      tty.type.assign(std::istreambuf_iterator<char>(type), std::istreambuf_iterator<char>());
    }
    ttys.push_back(std::move(tty));
  }
  return ListPublished(board, std::move(byId), ttys);
}

std::vector<ListedPort> ListPorts() {
  return ListPortsUnder("/");
}

}  // namespace serial
