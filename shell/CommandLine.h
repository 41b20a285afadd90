#pragma once

// The command line: one table of options (OptionTable), from which the parser, --help, the
// synopsis and the messages about bad values all come. Each option's name, short form, value,
// default, range and help stand there once; the documents are checked against it.

#include <chrono>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "feeder/CheckCycle.h"
#include "os/Error.h"
#include "serial/PortOptions.h"
#include "shell/Capture.h"

namespace shell {

// Everything the command line can set. The defaults are the program as it always runs.
struct Options {
  serial::PortOptions port;  // the device and its line; COM1, 9600 8N1, by default
  std::string dir;           // where the check files are; "" is the current directory
  bool window = true;        // false: --no-window
  bool verbose = false;      // a record of every tick on stdout
  std::string log;           // a file the record and the failures are appended to; "" for none
  std::string capture;       // a file what the device sends is appended to; "" for none
  CaptureFormat captureFormat = CaptureFormat::Text;
  bool expect = false;  // judge what the device answers against checkN.expect or checkN.match
  std::chrono::milliseconds answerWithin{1000};  // how long after a send its answer may come
  unsigned long rotations = 0;                   // end after this many rotations; 0: run on
  std::string junit;  // where a JUnit XML report of the verdicts is written at the end, or ""
  std::chrono::milliseconds period{5000};
  std::chrono::milliseconds pause = feeder::PauseLength;
};

struct CommandLine {
  enum class Action { Run, Help, Version, ListPorts, Bad };
  Action action = Action::Run;
  Options options;
  std::string error;  // for Bad: what was wrong, e.g. "unknown option --colour"
};

// One option.
struct Option {
  enum class Section { Options, Line };
  std::string name{};       // "--baud"
  std::string shortName{};  // "-v", or ""
  std::string value{};      // what the help calls its value ("N", "DEVICE"), or "" for none
  std::string shown{};      // how the synopsis shows the value ("8N1", "on|off"): value if ""
  std::string help{};       // what it does, for --help and the documents
  std::string range{};  // the values it takes, as the documents say them ("50 to 12000000"), or ""
  std::string accepts{};  // what it takes, for a message about a bad value
  // The value a set of options has for it, as the help says it ("9600"): with the defaults, its
  // default. Null when there is no default to state.
  std::function<std::string(const Options&)> describe{};
  // Sets `options` from the value (ignored without one); false for a value it does not take.
  std::function<bool(const std::string& value, Options& options)> apply{};
  // What the options get when this one is not given, from what the others set; or null.
  std::function<void(Options&)> unless{};
  // For --help, --version and --list-ports: what the command line does instead of running.
  CommandLine::Action action = CommandLine::Action::Run;
  Section section = Section::Options;
  // A setting of the line, which only RFC 2217 carries to a port on the network.
  bool lineSetting = false;
  // An option that means something only with --expect.
  bool judging = false;

  // "Default: 9600", or "" when there is none to state.
  std::string DefaultText() const;
};

// Every option, in the order --help lists them.
const std::vector<Option>& OptionTable();

// Reads the arguments after the program's name.
CommandLine ParseCommandLine(std::span<const char* const> arguments);

// Checks what can only be checked on this machine (that --dir is a directory the program can
// read); a failure says what is wrong, for a bad command line.
os::Outcome CheckOptions(const Options& options);

std::string Synopsis();  // the "Usage:" lines
std::string Usage();     // all of --help
std::string VersionText();

}  // namespace shell
