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
// \xNN: os/Escape.h). A burst is written as it comes: a text line grows with it, and ends with the
// burst.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "os/Wait.h"
#include "shell/Platform.h"
#include "shell/Reporter.h"

namespace shell {

enum class CaptureFormat { Text, Hex, Raw };

// How a capture writes: `text`, holding `bytes` of what the device sent; `begins` when it starts
// an entry (a send's line, a note, a burst), which the rest of a burst's text then follows.
using CaptureWrite = std::function<void(const std::string& text, std::size_t bytes, bool begins)>;

class Capture {
 public:
  // Writes what it keeps with `write`; a burst ends after `silence` without a byte.
  Capture(CaptureFormat format, std::chrono::nanoseconds silence, CaptureWrite write);

  // A send of `size` bytes of `file` begins, at `when`.
  void Sent(WallClock::time_point when, const std::string& file, std::size_t size);

  // `bytes` came from the device, at `when` (and `at` on the steady clock).
  void Received(std::span<const std::byte> bytes, WallClock::time_point when,
                os::Clock::time_point at);

  // Something to say in the capture itself (bytes the driver lost), on a line of its own.
  void Note(WallClock::time_point when, const std::string& text);

  // A send's verdict (--expect), on a line of its own after its answer: "= check3.txt #1: ...".
  void Verdict(WallClock::time_point when, const std::string& text);

  // When the burst under way is over if nothing more comes; nothing when none is under way.
  std::optional<os::Clock::time_point> QuietAt() const;

  // Ends the burst under way: its silence has come, or the program ends.
  void EndBurst();

 private:
  void Stamp(WallClock::time_point when, char mark, const std::string& text);
  void HexRows(bool all);

  CaptureFormat format_;
  std::chrono::nanoseconds silence_;
  CaptureWrite write_;
  bool inBurst_ = false;
  os::Clock::time_point lastByte_{};
  std::string row_;         // hex: the bytes of the row not written yet
  std::size_t offset_ = 0;  // hex: where the next row begins in what the device sent
};

// A capture's file, each entry in it whole or not at all. When the file cannot be written (a full
// disk), what comes meanwhile is counted and lost, and the failure told once; once it can be
// written again, a mark of the gap goes first (text and hex: how many of the device's bytes were
// lost, and since when), and the recovery is told. An entry cut short is taken back out.
class CaptureFile {
 public:
  // `tell`: what to say, and whether it is the failure (or the recovery).
  using Tell = std::function<void(const std::string& text, bool failed)>;

  CaptureFile(Appendable& file, CaptureFormat format, Tell tell);

  // What Capture writes (CaptureWrite).
  void Write(const std::string& text, std::size_t bytes, bool begins);

  // Whether it cannot be written now, and why, for the service's status ("" when it can).
  const std::string& Failing() const { return failing_; }

 private:
  // Counts an entry, or the rest of one, as lost.
  void Lose(std::size_t bytes, bool begins);
  // Says it can be written again.
  void Recovered();

  Appendable& file_;
  bool marked_;  // the format can carry a mark of a gap
  Tell tell_;
  std::optional<std::uint64_t> entryStart_;  // where the entry under way began in the file
  unsigned entryGeneration_ = 0;             // in which of the files made under its name
  std::size_t entryBytes_ = 0;               // the device's bytes it holds
  bool dropping_ = false;                    // the rest of the entry under way is lost
  bool wholeSince_ = false;  // failing, but the entry under way began after the gap's mark
  std::string failing_;
  WallClock::time_point since_{};
  std::size_t lostBytes_ = 0;  // since the last mark of a gap
  std::size_t lostLines_ = 0;  // the capture's own entries (sends, notes), likewise
  std::size_t toldBytes_ = 0;  // since the failure was told
};

}  // namespace shell
