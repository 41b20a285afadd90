#pragma once

// What the program does on its three events (show, tick, close), the same with a window and
// without one, and what it tells the user about them: failures on stderr (each repeating one
// summarised, not repeated), with --verbose a record of every tick on stdout, and for the
// window's box what went wrong with what to do about it, and what works again.

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "feeder/CheckCycle.h"
#include "serial/PortList.h"
#include "serial/SerialLink.h"
#include "shell/Capture.h"
#include "shell/CommandLine.h"
#include "shell/FailureLog.h"
#include "shell/Reporter.h"
#include "shell/TickTimer.h"
#include "shell/Verdicts.h"

namespace shell {

// Something the window's failure box tells: `subject` (a check file, a port) failed, or (worked)
// works again.
struct BoxNotice {
  bool worked = false;
  std::string subject;
  std::string text;
  friend bool operator==(const BoxNotice&, const BoxNotice&) = default;
};

class Feed {
 public:
  // The ports a user is told of when theirs cannot be had.
  using PortLister = std::function<std::vector<serial::ListedPort>()>;

  // Makes the pause tick end its pause counted from when the tick was due on `timer`, and end
  // it at once when `stop` becomes ready; a long write ends early the same way. The port is
  // opened by `opener`, and the ports are listed by `lister`: the system's own, or a test's.
  Feed(const Options& options, const TickTimer& timer, os::WakeHandle stop, Reporter& reporter,
       serial::SerialLink::Opener opener = serial::OpenPort, PortLister lister = serial::ListPorts);

  // Show: opens the port. Why there is no port, or what it did not take, goes to stderr, and is
  // returned for the box with what to do about it.
  std::vector<BoxNotice> Show();

  // Tick: one step of the check-file cycle. Returns what the box shows of it: the tick's
  // failure, and the port when it is back.
  std::vector<BoxNotice> Tick();

  // The port said something between ticks (its input handle, InputWake, was ready): what the
  // device sent, a notice, or that it went away. Returns what the box shows of it.
  std::vector<BoxNotice> Input();

  // Ready when the port has something to say: the same handle whatever port is open.
  os::WakeHandle InputWake() const { return link_.Input(); }

  // Close: closes the port if one is open.
  void Close();

  // Where the program's state goes in a line, as it changes (a service's status): the last send
  // and the next, or a held or lost port.
  void OnStatus(std::function<void(const std::string& status)> status) {
    status_ = std::move(status);
  }

  // What to do once the run is over by itself (--rotations): the last rotation sent, its last
  // verdict in. Called once.
  void OnFinished(std::function<void()> finished) { onFinished_ = std::move(finished); }
  bool Finished() const { return finished_; }

  // The exit status the run ends with: with --expect, 3 when an answer differed, was missing or
  // could not be judged; 0 otherwise.
  int ExitStatus() const;

 private:
  void Report(const std::vector<std::string>& lines);
  // A held line said during a send, or its bytes moving again: repeats counted as every failure's.
  void TellHeld(const std::string& line, bool held);
  // Takes what the port has said since the last look, and adds what the box shows of it.
  void Hear(std::vector<BoxNotice>& notices);
  // Bytes the device sent, as they come: to the capture.
  void Heard(std::span<const std::byte> bytes);
  // The pause: until `until`, or a stop; what the device says meanwhile is heard as it comes.
  void Pause(os::Clock::time_point until);
  // The capture's file failed (or works again): said as every failure is, and in the status.
  void CaptureTold(const std::string& text, bool failed);
  // --expect: a send's verdict, said, kept, and in the box.
  void Judged(const feeder::Verdict& verdict, std::vector<BoxNotice>& notices);
  // What a sending tick means for the answers: its send's window, or a send that could not be
  // judged.
  void Judging(const feeder::TickRecord& tick, const std::optional<std::string>& failure,
               std::vector<BoxNotice>& notices);
  // Says bytes that came after the last answer's window.
  void TellLate();
  void Finish();
  // With --verbose, what came back after the last send, once: when its first burst is over, or
  // at the next send.
  void Answered();

  const Options& options_;
  const TickTimer& timer_;
  os::WakeHandle stop_;
  serial::SerialLink link_;
  feeder::CheckCycle cycle_;
  FailureLog failures_;
  Reporter& reporter_;
  PortLister lister_;
  // The last held line was reported, not only counted: so is its moving again.
  bool heldSaid_ = false;
  // A held line went to the box, and no whole send has taken it off since.
  bool heldShown_ = false;
  // --capture: what the device sends, into its file, and what came back after the last send.
  std::optional<CaptureFile> captureFile_;
  std::optional<Capture> capture_;
  struct Answer {
    std::string file;
    std::size_t size = 0;
    std::size_t back = 0;          // bytes the device sent since the send began
    os::Clock::time_point over{};  // when the send was over
    os::Clock::time_point last{};  // when the last of them came
  };
  std::optional<Answer> answer_;
  // --expect: the answers, their verdicts, and the rotation under way (from 1).
  std::optional<feeder::Answers> answers_;
  Verdicts verdicts_;
  int rotation_ = 1;
  bool ending_ = false;  // the last rotation is sent: the run ends once its last verdict is in
  bool finished_ = false;
  bool closed_ = false;
  std::function<void()> onFinished_;
  std::function<void(const std::string&)> status_;
  std::string lastStatus_;
  // What the box shows of what was heard in a pause, until the tick is over.
  std::vector<BoxNotice> meanwhile_;
  // Since when the port has been lost, "HH:MM:SS", or "".
  std::string lostSince_;
  // Since when the capture could not be written, and why, or "".
  std::string captureFailing_;
  // Tells the status after a tick, or that the port is lost.
  void Publish(const feeder::TickRecord& tick, bool failed);
  void PublishLost();
  // Tells `status`, with what is wrong with the capture.
  void Tell(const std::string& status);
};

}  // namespace shell
