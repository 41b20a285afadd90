#pragma once

// The program's serial port, from open to close: opened once, held exclusively, written to,
// closed.
//
//   Open(options)      lock, open, configure; PortHandle() is the port, or null when it could not
//                      be had (absent, in use by another program, not a serial port)
//   PortHandle()->Write  every byte out and drained, or the reason it stopped
//   WriteFailed(result)  a write failed: with reconnect, a device that went away is let go...
//   Reopen()           ...and opened again, with all its settings, once it is back
//   Close()            drop exclusivity, close, release the locks; PortHandle() null again
//
// Without reconnect the port is opened once and never again, whatever happens to it.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "os/Error.h"
#include "os/Input.h"
#include "serial/NativePort.h"
#include "serial/Port.h"

namespace serial {

// What became of the port after a write failed.
struct WriteFailure {
  bool lost = false;  // reconnect: the port was closed and is reopened when it is back
  std::string text;   // lost: the whole message; otherwise what to add to it, maybe ""
};

// What the port said between two looks: notices to tell once, and, when it went away, the whole
// message about it (said once for the port), or "".
struct Heard {
  std::vector<std::string> notices;
  std::string lost;
};

class SerialLink {
 public:
  // How a port is opened: the system's own or one on the network (OpenPort), or a test's
  // stand-in.
  using Opener = std::function<OpenedPort(const PortOptions& options, os::WakeHandle cancel,
                                          os::WakeHandle input)>;

  explicit SerialLink(Opener opener = OpenPort);
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;
  ~SerialLink() { Close(); }

  // The open port, or null: not yet opened, the open failed, or (with reconnect) the device is
  // away. Only the link itself sets it.
  Port* PortHandle() const { return portHandle_.get(); }

  // Opens and configures the port (PortHandle() must be null): raw, with the options' line
  // settings (by default 9600 baud, 8 data bits, no parity, one stop bit, no flow control, DTR
  // and RTS off), exclusively held. `cancel` (or none) is watched during writes so a stop request
  // ends a long write promptly. The options are kept for Reopen.
  // A failure is one line for the user: why there is no port, or which settings the device did
  // not take (the port is then still used).
  os::Outcome Open(const PortOptions& options, os::WakeHandle cancel = os::WakeHandle());

  // What becomes of the port after a write ended with `result`'s failure: with reconnect, a
  // device that went away is closed at once, every lock with it.
  WriteFailure WriteFailed(const WriteResult& result);

  // With reconnect, when the port is away: tries once to open it again, quietly (right after a
  // replug udev may still be setting its permissions, or a modem manager probing it). Returns
  // "Port "..." is back" when it opened, otherwise "". Without reconnect it does nothing.
  [[nodiscard]] std::string Reopen();

  // Ready when the open port has said something (a port on the network always reads; one of this
  // computer only with --capture): then TakeInput. The same handle whatever port is open.
  os::WakeHandle Input() const { return input_.Handle(); }

  // Reads what the device sent since the last look (it goes to the options' `heard`), and says
  // what became of the port meanwhile: with reconnect, one that went away is closed at once, as
  // after a write.
  Heard TakeInput();

  // Makes Input() ready at `when` too, or at no time: what the device said has gone quiet.
  void WakeAt(std::optional<os::Clock::time_point> when) { input_.WakeAt(when); }

  // What --verbose says of the last opening ("the server did not acknowledge DTR..."), or "".
  const std::string& OpenNote() const { return note_; }

  // Closes the port if one is open; PortHandle() becomes null. Closing twice closes once.
  void Close() { portHandle_.reset(); }

  // Why the last open could not have the port, or PortProblem::None.
  PortProblem Problem() const { return problem_; }

  // The port Open was asked for.
  const PortOptions& Wanted() const { return wanted_; }

  // Where a port says, during a send, that its line is held and moves again.
  void TellHeld(HeldLine::Tell tell) { tellHeld_ = std::move(tell); }

 private:
  // Opens the port into portHandle_; when it worked, `mismatch` says which settings did not take.
  os::Outcome OpenOnce(std::string& mismatch);
  // The port went away, for `reason`: with reconnect it is closed at once.
  WriteFailure Gone(const std::string& reason);

  Opener opener_;
  os::InputWake input_;
  std::unique_ptr<Port> portHandle_;
  std::string note_;
  // What Open was asked for, kept for reopening.
  PortOptions wanted_;
  os::WakeHandle cancel_;
  // With reconnect: there is no port now, and the next tick that sends tries to open it again.
  bool away_ = false;
  // Whether a port was ever opened, so its return reads "is back", not "is open".
  bool everOpened_ = false;
  // Without reconnect, a port that went away says once what --reconnect would do.
  bool hintGiven_ = false;
  // The open port was said to be lost: its later looks say it no more.
  bool lostSaid_ = false;
  PortProblem problem_ = PortProblem::None;
  HeldLine::Tell tellHeld_;
};

}  // namespace serial
