#pragma once

// What the program does on its three events (show, tick, close), the same with a window and
// without one, and what it tells the user about them: failures on stderr (each repeating one
// summarised, not repeated), and with --verbose a record of every tick on stdout.

#include <optional>
#include <string>

#include "feeder/CheckCycle.h"
#include "serial/SerialLink.h"
#include "shell/CommandLine.h"
#include "shell/FailureLog.h"
#include "shell/TickLog.h"
#include "shell/TickTimer.h"

namespace shell {

class Feed {
 public:
  // Makes the pause tick end its pause counted from when the tick was due on `timer`, and end
  // it at once when `stop` becomes ready; a long write ends early the same way.
  // The port is opened by `opener`: the system's own, or a test's stand-in.
  Feed(const Options& options, const TickTimer& timer, serial::WakeHandle stop,
       serial::SerialLink::Opener opener = serial::OpenNativePort);

  // Show: opens the port. Why there is no port, or what it did not take, goes to stderr: nothing
  // is shown in a window for it.
  void Show();

  // Tick: one step of the check-file cycle. Returns the failure's message if it failed.
  std::optional<std::string> Tick();

  // Close: closes the port if one is open.
  void Close();

 private:
  void Report(const std::vector<std::string>& lines);

  const Options& options_;
  serial::WakeHandle stop_;
  serial::SerialLink link_;
  feeder::CheckCycle cycle_;
  FailureLog failures_;
  TickLog record_;
};

// One line on stderr: "checkfeed: <message>".
void PrintFailure(const std::string& message);

}  // namespace shell
