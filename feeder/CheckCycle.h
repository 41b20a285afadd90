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

namespace feeder {

inline constexpr std::int32_t FilesPerRotation = 6;
inline constexpr std::size_t SendBufferSize = 1048576;
inline constexpr std::chrono::milliseconds PauseLength{10000};

// Number of the file last attempted (1 to 6), or 0 at start and after the pause tick.
extern std::int32_t CheckNumber;

// Holds the file being sent. Only its first bytes, as many as the file has, are ever sent.
extern std::array<std::byte, SendBufferSize> SendBuffer;

// How the pause tick blocks for a given time. By default it sleeps; the program installs its own
// wait (measured from the tick's due time, ended early by a stop request), tests a fast one.
extern std::function<void(std::chrono::milliseconds)> Pause;

// Why a tick failed, in words for the user: the file or port, then the reason.
class TickFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "check" + number + ".txt".
std::string CheckFileName(std::int32_t number);

// One tick: advance CheckNumber; after the sixth file, pause; otherwise read the file into
// SendBuffer, close it, and write it whole to the port, if there is one (without a port the
// file is still read, so missing files are still reported, and nothing is sent).
// Throws TickFailure, leaving CheckNumber advanced so the next tick moves on.
void TimerTimer();

}  // namespace feeder
