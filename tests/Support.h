#pragma once

// What the unit tests share on every build: scratch folders, check files, and a stand-in behind
// the port seam (serial/NativePort.h) that records what it was given and fails on demand, so the
// rotation, the pause, reconnect and the failure messages run as plain code, on Linux and under
// Wine alike, with no port and nothing to schedule.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "os/Socket.h"
#include "os/Wait.h"
#include "serial/SerialLink.h"
#include "shell/Platform.h"

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

// A file in memory that the program appends to (a capture), and that can be full: what a full
// disk does to it.
class MemoryFile final : public shell::Appendable {
 public:
  std::string text;
  bool full = false;

  const std::string& Path() const override { return path_; }
  os::Outcome Append(const std::string& more) override {
    if (full) {
      return os::Outcome::Failed("No space left on device", 28);
    }
    text += more;
    return {};
  }
  std::optional<std::uint64_t> End() const override { return text.size(); }
  unsigned Generation() const override { return 0; }
  os::Outcome CutTo(std::uint64_t size) override {
    text.resize(static_cast<std::size_t>(size));
    return {};
  }

 private:
  std::string path_ = "capture.log";
};

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
  // What the device sends: `said` at the next look at its input, `answer` at the first look after
  // the next send.
  std::vector<std::byte> said;
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

// The far end of a connection to a port on the network, for the network port's tests: a telnet
// server of the test's own behind a stand-in os::Socket, which takes what it is sent as the test
// says (in pieces of given sizes, nothing, or a failure) and parses it as a telnet server would.
class StandInServer {
 public:
  StandInServer();
  StandInServer(const StandInServer&) = delete;
  StandInServer& operator=(const StandInServer&) = delete;
  ~StandInServer();

  // The connection to give the port; one for the server's life.
  std::unique_ptr<os::Socket> Connection();

  // Says `bytes` (or `text`) to the client: readable at once.
  void Say(const std::vector<std::byte>& bytes);
  void Say(const std::string& text);
  // Closes its end: the client reads the end once it has read what was said.
  void Close();
  // From now on every send fails with `error` (a reset).
  void Reset(int error);

  // How many bytes each send takes, in turn, again and again; none: as many as it is given.
  std::vector<std::size_t> takes;
  // Whether it reads: a server that stops reading takes nothing.
  void Reading(bool reading);
  // How long it has answered nothing of what is on its way to it (Socket::Unanswered).
  std::optional<std::chrono::milliseconds> unanswered;
  // Whether it speaks telnet (rfc2217://), or takes the bytes as they are (socket://).
  bool telnet = true;
  // Whether it agrees to every option and acknowledges every RFC 2217 command with its value
  // (but those in `unacknowledged`).
  bool answers = false;
  std::vector<int> unacknowledged;
  // What it does once the device's bytes it got reach `at`, each once: says `say` (and takes
  // nothing more until the client has read it), fails every later send with `reset`, or stops
  // reading.
  struct Cue {
    std::size_t at = 0;
    std::vector<std::byte> say{};
    int reset = 0;
    bool stopReading = false;
  };
  std::vector<Cue> cues;

  // What came: every byte on the wire; the device's bytes (0xFF undoubled) in order; each word of
  // telnet whole (IAC and all); and whether anything came that is not telnet.
  std::vector<std::byte> wire;
  std::string data;
  std::vector<std::vector<std::byte>> words;
  bool garbled = false;
  // Whether the client closed its end.
  bool closedByClient = false;

 private:
  friend class StandInSocket;
  void Take(std::span<const std::byte> bytes);
  void Word(std::vector<std::byte> word);

  enum class State { Data, Iac, Option, Sub, SubIac } state_ = State::Data;
  std::vector<std::byte> word_;
  std::vector<std::byte> incoming_;  // said, not yet read by the client
  bool closed_ = false;
  bool reading_ = true;
  bool busy_ = false;  // it said something, and takes nothing until the client has read it
  int error_ = 0;
  std::size_t sends_ = 0;
  os::WakeEvent readable_;
  os::WakeEvent writable_;
};

}  // namespace testing_support
