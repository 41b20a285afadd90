#include "tests/Support.h"

#include <atomic>
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
    if (heard_ && !device_.answer.empty()) {
      heard_(device_.answer);
    }
    device_.answer.clear();
    return true;
  }

  const serial::Listen* Listening() const override { return nullptr; }

  void DiscardInput() override {}

 private:
  StandInDevice& device_;
  std::function<void(std::span<const std::byte>)> heard_;
  std::string pending_;  // handed over, not yet drained
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

}  // namespace testing_support
