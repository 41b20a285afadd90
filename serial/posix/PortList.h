#pragma once

#include <filesystem>
#include <vector>

#include "serial/PortList.h"

namespace serial {

// The serial ports of the system whose root is `root` ("/" for this one; tests give a tree of
// their own): see ListPorts.
std::vector<ListedPort> ListPortsUnder(const std::filesystem::path& root);

}  // namespace serial
