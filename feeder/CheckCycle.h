#pragma once

// The check-file cycle. Each tick sends the next of check1.txt ... check6.txt, read whole from
// the current working directory, to the serial port; the tick after the sixth sends nothing and
// pauses; then the rotation starts again.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

#include "feeder/Answers.h"
#include "serial/SerialLink.h"

namespace feeder {

inline constexpr std::int32_t FilesPerRotation = 6;
inline constexpr std::size_t SendBufferSize = 1048576;

// How long the tick after the sixth file pauses, unless the program is told otherwise.
inline constexpr std::chrono::milliseconds PauseLength{10000};

// Holds the file being sent: one buffer for the program's life, never allocated per tick. Only
// its first bytes, as many as the file has, are ever sent.
extern std::array<std::byte, SendBufferSize> SendBuffer;

// Why a tick failed, in words for the user: the file or port, then the reason.
class TickFailure : public std::runtime_error {
 public:
  // `subject` is what failed (a file name, or a port's device); `summary` says what went wrong
  // the same way every time it repeats, e.g. "Cannot send to port "/dev/ttyS0": Input/output
  // error" for every file that meets a dead port.
  TickFailure(const std::string& message, std::string subject, std::string summary)
      : std::runtime_error(message), subject_(std::move(subject)), summary_(std::move(summary)) {}
  const std::string& Subject() const { return subject_; }
  const std::string& Summary() const { return summary_; }

 private:
  std::string subject_;
  std::string summary_;
};

// What the last tick did, for the record of every tick. Filled in as the tick goes, so after a
// failure it shows how far the tick got.
struct TickRecord {
  std::chrono::milliseconds paused{0};  // the pause tick: how long it paused; 0 on a sending tick
  bool pause = false;
  std::string file{};                // the check file, "" on the pause tick
  std::string portNotice{};          // the port came back at this tick: "Port "..." is back"
  std::string port{};                // the device written to, "" when there was no port
  std::size_t size = 0;              // bytes read from the file
  std::size_t written = 0;           // bytes handed to the port
  bool sent = false;                 // every byte sent and drained
  std::chrono::nanoseconds took{0};  // from the first byte written until drained
  std::chrono::steady_clock::time_point left{};  // when its last byte left the port
  std::string held{};  // what was said when the line stopped moving, or ""
  // With expectations read: whether the file's answer is judged (it has checkN.expect or
  // checkN.match, or one that cannot be used), and what it expects.
  bool judged = false;
  Expectation expectation{};
};

// "check" + number + ".txt".
std::string CheckFileName(std::int32_t number);

class CheckCycle {
 public:
  // How the pause tick blocks for a given time. The program waits from the tick's due time and
  // ends the wait early on a stop request; tests record it.
  using Pause = std::function<void(std::chrono::milliseconds)>;

  // Sends to `link`'s port; the tick after the sixth file pauses for `pauseLength`, by sleeping
  // unless `pause` says otherwise.
  explicit CheckCycle(serial::SerialLink& link, std::chrono::milliseconds pauseLength = PauseLength,
                      Pause pause = nullptr);

  // Reads, before each file, what it expects the device to answer (feeder/Answers.h): one that
  // cannot be used fails the tick before anything is read or sent, as a missing file does.
  void ReadExpectations() { expectations_ = true; }

  // One tick: advance CheckNumber; after the sixth file, pause; otherwise (after asking the port
  // to come back, if it is away and may, and reading what it expects, if asked to) read the file
  // into SendBuffer, close it, and write it
  // whole to the port, if there is one (without a port the file is still read, so missing files
  // are still reported, and nothing is sent).
  // Throws TickFailure, leaving CheckNumber advanced so the next tick moves on.
  void TimerTimer();

  // Number of the file last attempted (1 to 6), or 0 at start and after the pause tick.
  std::int32_t CheckNumber() const { return checkNumber_; }

  const TickRecord& LastTick() const { return lastTick_; }

  // Told just before a file's bytes go to the port: its name and size (the capture's line for
  // the send, which what the device answers follows).
  std::function<void(const std::string& file, std::size_t size)> Sending;

 private:
  serial::SerialLink& link_;
  std::chrono::milliseconds pauseLength_;
  Pause pause_;
  std::int32_t checkNumber_ = 0;
  TickRecord lastTick_;
  bool expectations_ = false;
};

}  // namespace feeder
