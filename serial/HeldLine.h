#pragma once

// A send that stops moving: a device that holds a flow-controlled line (CTS low, an XOFF it never
// takes back, as a printer out of paper does) or an adapter that takes no more bytes. Writes on
// either system wait for room, and for the driver to drain, through this watch: when nothing
// moves for a while it says so once, at once, with what it knows; when bytes move again it says
// that once. It needs no thread of its own: the wait the send is already in has its deadline.

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "os/Wait.h"

namespace serial {

class HeldLine {
 public:
  // Where its lines go (stderr and the log); called on the sending thread, during the send.
  using Tell = std::function<void(const std::string& line)>;

  // Nothing moving for `after` is a held line. `flowControl`: the line is flow-controlled, so
  // --flow none is worth a try.
  HeldLine(std::string device, std::chrono::milliseconds after, bool flowControl, Tell tell);

  // A send of `size` bytes of `what` (a check file's name) begins.
  void Begin(std::string what, std::size_t size);

  // Bytes moved: `sent` of the send's bytes have been handed to the device, or the driver's
  // queue went down. Says once that the line moves again if it was held.
  void Moved(std::size_t sent);

  // A wait in the send begins afresh (after a gap of its own): the time without movement counts
  // from now.
  void Resume() { since_ = os::Clock::now(); }

  // Until when a wait may go on before the line counts as held; nothing once it was said.
  std::optional<os::Clock::time_point> Deadline() const;

  // When nothing moved until the deadline, says so, with what `why` tells when the system can
  // ("the device holds CTS low"), or "".
  void Check(const std::function<std::string()>& why);

  // What was said of this send's held line, or "".
  const std::string& Notice() const { return notice_; }

 private:
  std::string device_;
  std::chrono::milliseconds after_;
  bool flowControl_;
  Tell tell_;
  std::string what_;
  std::size_t size_ = 0;
  std::size_t sent_ = 0;
  os::Clock::time_point since_{};
  bool held_ = false;  // held now, and said
  std::string notice_;
};

// How often a wait for room looks again without being woken: a pseudo-terminal was seen to free
// room without waking its writer, which then learned of it only when its next wait ended.
inline constexpr std::chrono::milliseconds LookAgain{100};

// Waits until `room` is ready (the device can take more), or LookAgain has passed; nothing moving
// until `held`'s deadline is a held line, said with what `why` tells. False when `cancel` became
// ready first.
bool WaitForRoom(const os::Waited& room, os::WakeHandle cancel, HeldLine& held,
                 const std::function<std::string()>& why);

// Waits until the driver's queue is on the wire, looking at `queued` (the bytes it still holds,
// or nothing when it cannot tell) as often as the line's speed makes worth it. A queue that goes
// down is bytes moving (the send's `sent` bytes); one that does not is a held line.
enum class Drained { Empty, Untold, Cancelled };
Drained WaitForDrain(const std::function<std::optional<unsigned>()>& queued,
                     unsigned bytesPerSecond, std::size_t sent, os::WakeHandle cancel,
                     HeldLine& held, const std::function<std::string()>& why);

}  // namespace serial
