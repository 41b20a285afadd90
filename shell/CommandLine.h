#pragma once

#include <span>
#include <string>

namespace shell {

struct Options {
  std::string device = "/dev/ttyS0";  // COM1
  bool window = true;                 // false: --no-window
};

struct CommandLine {
  enum class Action { Run, Help, Version, Bad };
  Action action = Action::Run;
  Options options;
  std::string error;  // for Bad: what was wrong, e.g. "unknown option --colour"
};

// Reads the arguments after the program's name.
CommandLine ParseCommandLine(std::span<const char* const> arguments);

// The device a --port value names: "COMn" (any case) is /dev/ttyS<n-1>; an absolute path is
// itself. Returns "" for anything else.
std::string PortDevice(const std::string& value);

std::string Usage();
std::string VersionText();

}  // namespace shell
