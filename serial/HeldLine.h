#pragma once

// A send that stops moving: a device that holds a flow-controlled line (CTS low, an XOFF it never
// takes back, as a printer out of paper does) or an adapter that takes no more bytes. Writes on
// either system wait for room, and for the driver to drain, through this watch: when nothing
// moves for a while it says so once, at once, with what it knows; when bytes move again it says
// that once. It needs no thread of its own: the wait the send is already in has its deadline.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "os/Wait.h"

namespace serial {

// What the system says holds a port's output.
enum class Hold { Unknown, CtsLow, DsrLow, Xoff, Suspended };

// A look at the line during a send.
struct LineStatus {
  std::optional<std::size_t> queued;  // bytes written that the driver has not sent yet, if it tells
  int error = 0;                      // why the port could not be asked (it went away), or 0
  std::string reason;                 // that, in words where no number says it
  std::optional<bool> cts;            // the CTS line, where the system reads the modem lines
  Hold hold = Hold::Unknown;          // what the driver itself says holds its output

  bool Failed() const { return error != 0 || !reason.empty(); }
};

class HeldLine {
 public:
  // Where its lines go (stderr and the log): `line`, and whether it says the line is held (or
  // that it moves again). Called on the sending thread, during the send.
  using Tell = std::function<void(const std::string& line, bool held)>;

  // Nothing moving for `after` is a held line. `ctsRtsFlow`, `xonXoff`: the line's flow control,
  // which says what may hold it, and that --flow none is worth a try.
  HeldLine(std::string device, std::chrono::milliseconds after, bool ctsRtsFlow, bool xonXoff,
           Tell tell);

  // A send of `size` bytes of `what` (a check file's name) begins.
  void Begin(std::string what, std::size_t size);

  // `handed` of the send's bytes have been handed to the driver. More than before is bytes moving:
  // the time without movement counts from now, and a held line says once that it moves again.
  void Handed(std::size_t handed);

  // The driver still holds `queued` of the bytes handed to it: what has been sent is the rest. A
  // queue that went down is bytes moving, as with Handed.
  void Queued(std::size_t queued);

  // Bytes moved that no count shows (the device's own buffer emptied): as Handed with more.
  void Moved();

  // The send's bytes that have left the driver, as far as it tells.
  std::size_t Sent() const { return handed_ - std::min(queued_, handed_); }

  // A wait in the send begins afresh (after a gap of its own): the time without movement counts
  // from now.
  void Resume() { since_ = os::Clock::now(); }

  // Until when a wait may go on before the line counts as held; nothing once it was said.
  std::optional<os::Clock::time_point> Deadline() const;

  // Whether the line was said to be held and has not moved since.
  bool Held() const { return held_; }

  // When nothing moved until the deadline, says so, with the count and the reason that `look`
  // gives when the system can tell them ("the device holds CTS low").
  void Check(const std::function<LineStatus()>& look);

  // What was said of this send's held line, or "".
  const std::string& Notice() const { return notice_; }

  std::chrono::milliseconds After() const { return after_; }

 private:
  std::string device_;
  std::chrono::milliseconds after_;
  bool ctsRtsFlow_;
  bool xonXoff_;
  Tell tell_;
  std::string what_;
  std::size_t size_ = 0;
  std::size_t handed_ = 0;
  std::size_t queued_ = 0;
  os::Clock::time_point since_{};
  bool held_ = false;  // held now, and said
  std::string notice_;
};

// How long a line may stand still before it counts as held: `least`, and at least twice the time
// the driver's slowest step (`step` bytes) takes at `bytesPerSecond`, so that a driver that moves
// bytes a packet at a time on a slow line is not called held between two packets.
std::chrono::milliseconds HeldAfter(std::chrono::milliseconds least, std::size_t step,
                                    unsigned bytesPerSecond);

// How often a wait looks again without being woken: a pseudo-terminal was seen to free room
// without waking its writer, which then learned of it only when its next wait ended; and once a
// line is said to be held, the drain looks at it no more often than this.
inline constexpr std::chrono::milliseconds LookAgain{100};

// What a wait also hears while it waits: ready when the port has input, and how to take it.
struct Listen {
  os::Waited ready;
  std::function<void()> take;
};

// Waits until `room` is ready (the device can take more), or LookAgain has passed; nothing moving
// until `held`'s deadline is a held line, said with what `look` tells. What `listen` hears
// meanwhile is taken. False when `cancel` became ready first.
bool WaitForRoom(const os::Waited& room, os::WakeHandle cancel, HeldLine& held,
                 const std::function<LineStatus()>& look, const Listen* listen = nullptr);

// Waits while the driver holds bytes of a send: until `done` is ready (a write under way that the
// driver has taken whole, on Windows), or without it until the queue `look` tells reads 0. Looks
// as often as the line's speed makes worth it, and at most every LookAgain once the line was said
// to be held. A queue that goes down is bytes moving; one that does not, after `held`'s time, a
// held line. Untold: without `done`, the driver cannot tell its queue; Failed: the port could not
// be asked (the error is the look's).
enum class Drained { Empty, Untold, Failed, Cancelled };
Drained WaitForQueue(const std::function<LineStatus()>& look, os::WakeHandle done,
                     unsigned bytesPerSecond, os::WakeHandle cancel, HeldLine& held,
                     const Listen* listen = nullptr);

}  // namespace serial
