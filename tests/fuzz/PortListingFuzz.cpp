// The listing of a Linux machine's serial ports, fed the text the system publishes from the
// input rather than the real files: links and their targets, tty names, their type attributes and
// driver links. Whatever they say, the listing lists each stable name and each tty with a device
// at most once, and never a tty no device is behind.
//
//   input: lines; "L<link>\t<target>" a stable name, "B<link>\t<target>" a board's,
//   "T<name>\t<device 0|1>\t<type>\t<driver>" a tty

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "serial/PortListing.h"
#include "tests/fuzz/Fuzz.h"

namespace {

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields(1);
  for (const char letter : line) {
    if (letter == '\t') {
      fields.emplace_back();
    } else {
      fields.back() += letter;
    }
  }
  return fields;
}

}  // namespace

using fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  std::istringstream lines(std::string(reinterpret_cast<const char*>(input), size));
  std::vector<serial::PublishedLink> board;
  std::vector<serial::PublishedLink> byId;
  std::vector<serial::PublishedTty> ttys;
  std::set<std::string> withDevice;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) {
      continue;
    }
    const std::vector<std::string> fields = Fields(line.substr(1));
    const std::string& first = fields[0];
    const std::string second = fields.size() > 1 ? fields[1] : "";
    if (line[0] == 'L' || line[0] == 'B') {
      (line[0] == 'L' ? byId : board).push_back({first, second});
    } else if (line[0] == 'T') {
      ttys.push_back({.name = first,
                      .device = second == "1",
                      .type = fields.size() > 2 ? fields[2] : "",
                      .driver = fields.size() > 3 ? fields[3] : ""});
      if (second == "1") {
        withDevice.insert("/dev/" + first);
      }
    }
  }
  const std::vector<serial::ListedPort> listed = serial::ListPublished(board, byId, ttys);
  Require(listed.size() <= board.size() + byId.size() + ttys.size());
  for (std::size_t i = board.size() + byId.size(); i < listed.size(); ++i) {
    Require(withDevice.contains(listed[i].name));
  }
  return 0;
}
