#pragma once

// What the unit tests share on every build: scratch folders, check files, and a stand-in behind
// the port seam (serial/NativePort.h) that records what it was given and fails on demand, so the
// rotation, the pause, reconnect and the failure messages run as plain code, on Linux and under
// Wine alike, with no port and nothing to schedule.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "os/Wait.h"
#include "serial/SerialLink.h"

namespace testing_support {

// A fresh folder, made the working directory for the object's life.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  ~ScratchDirectory();
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::filesystem::path previous_;
};

void WriteFile(const std::filesystem::path& path, const std::string& content);

// A file's whole content, or "" when it cannot be read.
std::string ReadText(const std::filesystem::path& path);

inline std::span<const std::byte> AsBytes(const std::string& text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

// `size` bytes that are not all alike.
std::string PatternBytes(std::size_t size, unsigned seed);

// The far end of a stand-in line: what was opened, written and closed, and what fails next.
class StandInDevice {
 public:
  using Clock = std::chrono::steady_clock;

  // One piece handed over and drained: the bytes, when the write began and when the drain was
  // over (the bytes had left the port).
  struct Piece {
    std::string bytes;
    Clock::time_point began;
    Clock::time_point left;
  };

  StandInDevice() = default;
  StandInDevice(const StandInDevice&) = delete;
  StandInDevice& operator=(const StandInDevice&) = delete;

  // The opener to give a SerialLink: every port it opens writes here.
  serial::SerialLink::Opener Opener();

  // Why the next opens fail ("" : they work), and what an open that works did not take.
  std::string refuse;
  serial::PortProblem refusedAs = serial::PortProblem::Absent;
  std::string mismatch;

  // From now on every write fails at once with `error`, as a device that went away (`gone`) or
  // one that refuses; Heal() makes writes work again.
  void FailWrites(int error, bool gone);
  void Heal() { failError_ = 0; }

  // The next write takes `bytes` and then nothing, as a device that holds the line, until the
  // program says that it is held (with `status` as what the system tells of the line then); then
  // the rest.
  void HoldAfter(std::size_t bytes, serial::LineStatus status) {
    holdAfter_ = bytes;
    holdStatus_ = status;
  }

  // What the driver's queue holds at each look of a drain (0 unless set), and the line's CTS.
  std::function<std::optional<std::size_t>()> queue;
  std::optional<bool> cts;
  // The device's own buffer: until this is ready, what it holds never leaves (a device that holds
  // CTS low with bytes in an adapter's buffer). None: it leaves at once.
  os::WakeHandle deviceSends;
  // The most bytes the driver moves in one step.
  std::size_t step = 0;
  // What the device sends, read at the next look at its input.
  std::vector<std::byte> answer;

  // Every attempt to open, with the options it was given; how many ports were closed; every
  // piece written; all bytes written, in order.
  std::vector<serial::PortOptions> attempts;
  int closes = 0;
  int discards = 0;
  int openPorts = 0;
  std::vector<Piece> pieces;
  std::string Sent() const;

 private:
  friend class StandInPort;
  int failError_ = 0;
  bool failGone_ = false;
  std::optional<std::size_t> holdAfter_;
  serial::LineStatus holdStatus_;
};

}  // namespace testing_support
