#include "tests/Support.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "serial/NativePort.h"

namespace testing_support {

ScratchDirectory::ScratchDirectory() : previous_(std::filesystem::current_path()) {
  static std::atomic<unsigned> made{0};
  std::random_device random;
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    const std::filesystem::path candidate =
        std::filesystem::temp_directory_path() /
        ("checkfeed-test-" + std::to_string(random()) + "-" + std::to_string(made++));
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate;
    }
  }
  if (path_.empty()) {
    throw std::runtime_error("cannot create a scratch directory");
  }
  std::filesystem::current_path(path_);
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
  std::filesystem::remove_all(path_, ignored);
}

void WriteFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string PatternBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    byte = static_cast<char>(random() & 0xFF);
  }
  return bytes;
}

class StandInPort final : public serial::NativePort {
 public:
  StandInPort(StandInDevice& device, std::function<void(std::span<const std::byte>)> heard)
      : device_(device), heard_(std::move(heard)) {
    ++device_.openPorts;
  }
  ~StandInPort() override {
    --device_.openPorts;
    ++device_.closes;
  }

  bool WriteAll(std::span<const std::byte> bytes, serial::WriteResult& result,
                serial::HeldLine& held) override {
    began_ = StandInDevice::Clock::now();
    if (device_.failError_ != 0) {
      result.error = device_.failError_;
      result.gone = device_.failGone_;
      return false;
    }
    if (const auto holdAfter = std::exchange(device_.holdAfter_, std::nullopt)) {
      // The line takes what it takes, then nothing until the program has said it is held.
      held.Handed(result.written + *holdAfter);
      os::WakeEvent room;
      const os::Waited waited{.handle = room.Handle(), .ready = os::Waited::For::Reading};
      serial::WaitForRoom(waited, os::WakeHandle(), held, [&] {
        room.Raise();
        return device_.holdStatus_;
      });
    }
    const auto* data = reinterpret_cast<const char*>(bytes.data());
    pending_.assign(data, bytes.size());
    answered_ = !device_.answer.empty();
    result.written += bytes.size();
    held.Handed(result.written);
    return true;
  }

  serial::LineStatus Status() override {
    serial::LineStatus status;
    status.queued = device_.queue ? device_.queue() : std::optional<std::size_t>(0);
    status.cts = device_.cts;
    return status;
  }

  serial::DeviceDrain DrainDevice(std::chrono::milliseconds atMost, serial::WriteResult&) override {
    if (device_.deviceSends &&
        os::WaitUntil(StandInDevice::Clock::now() + atMost, device_.deviceSends)) {
      return serial::DeviceDrain::NotYet;
    }
    device_.pieces.push_back({std::exchange(pending_, {}), began_, StandInDevice::Clock::now()});
    return serial::DeviceDrain::Done;
  }

  std::size_t Step() const override { return device_.step; }

  void DiscardOutput() override { ++device_.discards; }

  bool ReadInput(serial::ReadResult&) override {
    for (std::vector<std::byte>* said : {&device_.said, answered_ ? &device_.answer : nullptr}) {
      if (said != nullptr && heard_ && !said->empty()) {
        heard_(*said);
      }
      if (said != nullptr) {
        said->clear();
      }
    }
    answered_ = false;
    return true;
  }

  const serial::Listen* Listening() const override { return nullptr; }

  void DiscardInput() override {}

 private:
  StandInDevice& device_;
  std::function<void(std::span<const std::byte>)> heard_;
  std::string pending_;    // handed over, not yet drained
  bool answered_ = false;  // a send went: the device's answer to it may be read
  StandInDevice::Clock::time_point began_{};
};

serial::SerialLink::Opener StandInDevice::Opener() {
  return [this](const serial::PortOptions& options, os::WakeHandle, os::WakeHandle) {
    attempts.push_back(options);
    if (!refuse.empty()) {
      return serial::OpenedPort::Refused(refusedAs, os::Outcome::Failed(refuse));
    }
    return serial::OpenedPort{.port = std::make_unique<StandInPort>(*this, options.heard),
                              .failure = {},
                              .mismatch = mismatch,
                              .problem = serial::PortProblem::None,
                              .note = {}};
  };
}

void StandInDevice::FailWrites(int error, bool gone) {
  failError_ = error;
  failGone_ = gone;
}

std::string StandInDevice::Sent() const {
  std::string all;
  for (const Piece& piece : pieces) {
    all += piece.bytes;
  }
  return all;
}

class StandInSocket final : public os::Socket {
 public:
  explicit StandInSocket(StandInServer& server) : server_(server) {}
  ~StandInSocket() override { server_.closedByClient = true; }

  os::Waited ForWriting() const override {
    return {.handle = server_.writable_.Handle(), .ready = os::Waited::For::Reading};
  }
  os::Waited ForReading() const override {
    return {.handle = server_.readable_.Handle(), .ready = os::Waited::For::Reading};
  }

  os::Transfer Send(std::span<const std::byte> bytes) override {
    if (server_.error_ != 0) {
      return {.count = 0, .closed = false, .error = server_.error_};
    }
    if (!server_.reading_ || server_.busy_) {
      return {};
    }
    std::size_t count = bytes.size();
    if (!server_.takes.empty()) {
      count = std::min(count, server_.takes[server_.sends_++ % server_.takes.size()]);
    }
    server_.Take(bytes.first(count));
    return {.count = count, .closed = false, .error = 0};
  }

  os::Transfer Receive(std::span<std::byte> into) override {
    std::vector<std::byte>& incoming = server_.incoming_;
    if (incoming.empty()) {
      server_.readable_.Clear();
      return {.count = 0, .closed = server_.closed_, .error = server_.error_};
    }
    const std::size_t count = std::min(into.size(), incoming.size());
    std::copy_n(incoming.begin(), count, into.begin());
    incoming.erase(incoming.begin(), incoming.begin() + static_cast<std::ptrdiff_t>(count));
    if (incoming.empty() && std::exchange(server_.busy_, false) && server_.reading_) {
      server_.writable_.Raise();  // heard: it takes bytes again
    }
    return {.count = count, .closed = false, .error = 0};
  }

  std::optional<std::size_t> Unacknowledged() const override { return 0; }
  std::optional<std::chrono::milliseconds> Unanswered() const override {
    return server_.unanswered;
  }

 private:
  StandInServer& server_;
};

StandInServer::StandInServer() {
  writable_.Raise();
}

StandInServer::~StandInServer() = default;

std::unique_ptr<os::Socket> StandInServer::Connection() {
  return std::make_unique<StandInSocket>(*this);
}

void StandInServer::Say(const std::vector<std::byte>& bytes) {
  incoming_.insert(incoming_.end(), bytes.begin(), bytes.end());
  readable_.Raise();
}

void StandInServer::Say(const std::string& text) {
  Say(std::vector<std::byte>(reinterpret_cast<const std::byte*>(text.data()),
                             reinterpret_cast<const std::byte*>(text.data()) + text.size()));
}

void StandInServer::Close() {
  closed_ = true;
  readable_.Raise();
}

void StandInServer::Reset(int error) {
  error_ = error;
  readable_.Raise();
  writable_.Raise();
}

void StandInServer::Reading(bool reading) {
  reading_ = reading;
  if (reading) {
    writable_.Raise();
  } else {
    writable_.Clear();
  }
}

void StandInServer::Take(std::span<const std::byte> bytes) {
  constexpr std::byte kIac{255};
  constexpr int kSb = 250;
  constexpr int kSe = 240;
  for (const std::byte byte : bytes) {
    wire.push_back(byte);
    const auto value = std::to_integer<int>(byte);
    if (!telnet) {
      data += static_cast<char>(value);
      continue;
    }
    switch (state_) {
      case State::Data:
        if (byte == kIac) {
          state_ = State::Iac;
          word_ = {byte};
        } else {
          data += static_cast<char>(value);
        }
        break;
      case State::Iac:
        word_.push_back(byte);
        if (byte == kIac) {
          data += static_cast<char>(value);
          state_ = State::Data;
        } else if (value >= 251) {
          state_ = State::Option;
        } else if (value == kSb) {
          state_ = State::Sub;
        } else {
          garbled = garbled || value == kSe;
          Word(std::move(word_));
          state_ = State::Data;
        }
        break;
      case State::Option:
        word_.push_back(byte);
        Word(std::move(word_));
        state_ = State::Data;
        break;
      case State::Sub:
        word_.push_back(byte);
        state_ = byte == kIac ? State::SubIac : State::Sub;
        break;
      case State::SubIac:
        word_.push_back(byte);
        if (byte == kIac) {
          state_ = State::Sub;
        } else {
          garbled = garbled || value != kSe;
          Word(std::move(word_));
          state_ = State::Data;
        }
        break;
    }
  }
  for (Cue& cue : cues) {
    if (cue.at == SIZE_MAX || data.size() < cue.at) {
      continue;
    }
    cue.at = SIZE_MAX;  // once
    if (!cue.say.empty()) {
      Say(cue.say);
      busy_ = true;
      writable_.Clear();
    }
    if (cue.reset != 0) {
      Reset(cue.reset);
    }
    if (cue.stopReading) {
      Reading(false);
    }
  }
}

void StandInServer::Word(std::vector<std::byte> word) {
  words.push_back(word);
  if (!answers) {
    return;
  }
  const auto at = [&word](std::size_t i) { return std::to_integer<int>(word[i]); };
  if (word.size() == 3 && at(1) >= 251) {
    // WILL x is agreed to with DO x, DO x with WILL x: every option.
    const int verb = at(1) == 251 ? 253 : at(1) == 253 ? 251 : 0;
    if (verb != 0) {
      Say({std::byte{255}, static_cast<std::byte>(verb), word[2]});
    }
    return;
  }
  // IAC SB 44 command value... IAC SE: acknowledged with the command + 100 and the same value.
  if (word.size() >= 6 && at(1) == 250 && at(2) == 44 &&
      std::find(unacknowledged.begin(), unacknowledged.end(), at(3)) == unacknowledged.end()) {
    std::vector<std::byte> reply = word;
    reply[3] = static_cast<std::byte>(at(3) + 100);
    Say(reply);
  }
}

}  // namespace testing_support
