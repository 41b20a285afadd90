#include "shell/PortAdvice.h"

#include <algorithm>

#include "serial/PortName.h"

namespace shell {
namespace {

// "Serial ports on this computer: COM3, COM7. Start checkfeed with --port COM3 (see README.txt)."
// The port that failed is never suggested, by any name the system gives it (a COM name in another
// case, a link to the same device): when it is listed, the others are.
std::string OtherPorts(std::vector<serial::ListedPort> ports, const std::string& docs,
                       const std::string& failed) {
  const auto listed = std::erase_if(ports, [&failed](const serial::ListedPort& port) {
    return serial::SamePort(port.name, failed) || serial::SamePort(port.detail, failed);
  });
  if (ports.empty()) {
    return std::string(listed > 0 ? "There is no other serial port" : "There are no serial ports") +
           " on this computer: connect one, then start checkfeed with --port and its name (see " +
           docs + ").";
  }
  // A box lists a few; --list-ports lists them all.
  constexpr std::size_t kNamed = 8;
  std::string names;
  for (std::size_t i = 0; i < std::min(ports.size(), kNamed); ++i) {
    names += (names.empty() ? "" : ", ") + ports[i].name;
  }
  if (ports.size() > kNamed) {
    names += " and " + std::to_string(ports.size() - kNamed) + " more (checkfeed --list-ports)";
  }
  return std::string(listed > 0 ? "Other serial ports" : "Serial ports") +
         " on this computer: " + names + ". Start checkfeed with --port " + ports.front().name +
         " (see " + docs + ").";
}

}  // namespace

std::string PortListText(const std::vector<serial::ListedPort>& ports) {
  std::string text;
  for (const serial::ListedPort& port : ports) {
    text += port.name + (port.detail.empty() ? "" : "  " + port.detail) + "\n";
  }
  return text;
}

std::string PortAdvice(serial::PortProblem problem, bool reconnect,
                       const std::vector<serial::ListedPort>& ports, const std::string& docs,
                       const std::string& failed) {
  switch (problem) {
    case serial::PortProblem::None:
      return {};
    case serial::PortProblem::Absent:
    case serial::PortProblem::NotSerial:
      return OtherPorts(ports, docs, failed);
    case serial::PortProblem::Busy:
      return reconnect ? "checkfeed takes it as soon as the program that holds it lets it go."
                       : "Close the program that holds it and start checkfeed again, or start "
                         "it with --reconnect to take the port once it is free.";
    case serial::PortProblem::Network:
      return "Check that the device server or ser2net runs and serves that port, and that this "
             "computer can reach it; with --reconnect checkfeed tries again at each tick (see " +
             docs + ").";
    case serial::PortProblem::Denied:
      return "Your user may not use it: add your user to the group the port belongs to (on "
             "Debian, dialout), then log in again.";
    case serial::PortProblem::Other:
      break;
  }
  return "See " + docs + " for the port's options.";
}

}  // namespace shell
