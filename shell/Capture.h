#pragma once

// What the device answers, kept (--capture FILE): every byte it sends, in the order it came, and
// a line for each send in the same file, so that every answer stands after what it answers. One
// entry a burst: a burst ends when the device has been quiet for a few character times.
//
//   text  2026-12-07T10:00:20.015+01:00 > check3.txt, 55 bytes
//         2026-12-07T10:00:20.071+01:00 < ACK\r\n\x00\xff
//   hex   2026-12-07T10:00:20.071+01:00 < 7 bytes
//         00000000  41 43 4b 0d 0a 00 ff                              |ACK....|
//   raw   the device's bytes alone
//
// Text keeps printable ASCII as it is and writes every other byte as an escape (\r, \n, \t, \\,
// \xNN). A burst is written as it comes: a text line grows with it, and ends with the burst.

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "os/Wait.h"
#include "shell/Reporter.h"

namespace shell {

enum class CaptureFormat { Text, Hex, Raw };

class Capture {
 public:
  // Writes what it keeps with `write`; a burst ends after `silence` without a byte.
  Capture(CaptureFormat format, std::chrono::nanoseconds silence,
          std::function<void(const std::string& text)> write);

  // A send of `size` bytes of `file` begins, at `when`.
  void Sent(WallClock::time_point when, const std::string& file, std::size_t size);

  // `bytes` came from the device, at `when` (and `at` on the steady clock).
  void Received(std::span<const std::byte> bytes, WallClock::time_point when,
                os::Clock::time_point at);

  // Something to say in the capture itself (bytes the driver lost), on a line of its own.
  void Note(WallClock::time_point when, const std::string& text);

  // When the burst under way is over if nothing more comes; nothing when none is under way.
  std::optional<os::Clock::time_point> QuietAt() const;

  // Ends the burst under way: its silence has come, or the program ends.
  void EndBurst();

 private:
  void Stamp(WallClock::time_point when, char mark, const std::string& text);
  void HexRows(bool all);

  CaptureFormat format_;
  std::chrono::nanoseconds silence_;
  std::function<void(const std::string&)> write_;
  bool inBurst_ = false;
  os::Clock::time_point lastByte_{};
  std::string row_;         // hex: the bytes of the row not written yet
  std::size_t offset_ = 0;  // hex: where the next row begins in what the device sent
};

// One byte as the text format writes it.
std::string Escaped(std::byte byte);

}  // namespace shell
