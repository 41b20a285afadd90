#pragma once

#include <chrono>
#include <span>
#include <string>

#include "serial/Port.h"

namespace shell {

// Everything the command line can set. The defaults are the program as it always runs.
struct Options {
  serial::PortOptions port;  // the device and its line; COM1, 9600 8N1, by default
  std::string dir;           // where the check files are; "" is the current directory
  bool window = true;        // false: --no-window
  bool verbose = false;      // a record of every tick on stdout
  std::string log;           // a file the record and the failures are appended to; "" for none
  std::chrono::milliseconds period{5000};
  std::chrono::milliseconds pause{10000};
};

struct CommandLine {
  enum class Action { Run, Help, Version, ListPorts, Bad };
  Action action = Action::Run;
  Options options;
  std::string error;  // for Bad: what was wrong, e.g. "unknown option --colour"
};

// Reads the arguments after the program's name.
CommandLine ParseCommandLine(std::span<const char* const> arguments);

// Checks what can only be checked on this machine (that --dir is a directory the program can
// read). Returns "" or what is wrong, for a bad command line.
std::string CheckOptions(const Options& options);

std::string Synopsis();  // the "Usage:" lines
std::string Usage();     // all of --help
std::string VersionText();

}  // namespace shell
