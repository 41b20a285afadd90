#include "serial/PortListing.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <set>
#include <tuple>

namespace serial {
namespace {

// "ttyUSB10" as ("ttyUSB", 10), so that ttyUSB2 comes before ttyUSB10. A number too long for one
// counts as none.
std::tuple<std::string, unsigned> NaturalKey(const std::string& name) {
  const std::size_t digits = name.find_first_of("0123456789");
  unsigned number = 0;
  if (digits != std::string::npos) {
    std::from_chars(name.data() + digits, name.data() + name.size(), number);
  }
  return {name.substr(0, digits), number};
}

// The device a link points to, as a path: a relative target (as udev makes them) from the link's
// own folder.
std::string Target(const PublishedLink& link) {
  std::filesystem::path target = link.target;
  if (target.is_relative()) {
    target = std::filesystem::path(link.link).parent_path() / target;
  }
  return target.lexically_normal().string();
}

// The number a sysfs attribute holds, or 0 when it holds none.
unsigned Number(const std::string& text) {
  const auto start = std::find_if_not(text.begin(), text.end(), [](char letter) {
    return std::isspace(static_cast<unsigned char>(letter)) != 0;
  });
  unsigned number = 0;
  std::from_chars(text.data() + (start - text.begin()), text.data() + text.size(), number);
  return number;
}

}  // namespace

std::vector<ListedPort> ListPublished(const std::vector<PublishedLink>& board,
                                      std::vector<PublishedLink> byId,
                                      const std::vector<PublishedTty>& ttys) {
  std::vector<ListedPort> listed;
  std::set<std::string> named;  // the devices a stable name already stands for
  std::sort(byId.begin(), byId.end(),
            [](const PublishedLink& a, const PublishedLink& b) { return a.link < b.link; });
  for (const std::vector<PublishedLink>* links :
       {&board, static_cast<const std::vector<PublishedLink>*>(&byId)}) {
    for (const PublishedLink& link : *links) {
      const std::string device = Target(link);
      listed.push_back({link.link, device});
      named.insert(device);
    }
  }
  std::vector<std::pair<std::tuple<bool, std::string, unsigned>, ListedPort>> others;
  for (const PublishedTty& tty : ttys) {
    const std::string device = "/dev/" + tty.name;
    if (!tty.device || named.contains(device)) {
      continue;
    }
    const auto [prefix, number] = NaturalKey(tty.name);
    std::string detail;
    if (prefix == "ttyS") {
      if (Number(tty.type) == 0) {
        continue;  // no UART behind this 8250 node
      }
      detail = "COM" + std::to_string(static_cast<unsigned long long>(number) + 1);
    } else {
      detail = std::filesystem::path(tty.driver).filename().string();
    }
    // USB and ACM devices before the board's own UARTs, each in the order of their numbers.
    const bool onBoard = prefix != "ttyUSB" && prefix != "ttyACM";
    others.push_back({{onBoard, prefix, number}, {device, detail}});
  }
  std::stable_sort(others.begin(), others.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [key, port] : others) {
    listed.push_back(std::move(port));
  }
  return listed;
}

}  // namespace serial
