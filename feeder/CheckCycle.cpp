#include "feeder/CheckCycle.h"

#include <span>
#include <thread>

#include "feeder/CheckFile.h"
#include "os/Error.h"

namespace feeder {

alignas(64) std::array<std::byte, SendBufferSize> SendBuffer{};

namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& name, const std::string& why) {
  const std::string message = what + " " + os::Quoted(name) + ": " + why;
  throw TickFailure(message, name, message);
}

// Reads the whole of the file `name` into SendBuffer and closes it. Returns its size.
std::size_t ReadIntoSendBuffer(const std::string& name) {
  CheckFile file(name);
  if (file.OpenError() != 0) {
    Fail("Cannot open file", name, os::ErrorText(file.OpenError()));
  }
  const CheckFile::Status status = file.Stat();
  if (status.error != 0) {
    Fail("Cannot read file", name, os::ErrorText(status.error));
  }
  // A FIFO or device would block or never end; a directory has nothing to send.
  if (!status.regular) {
    Fail("Cannot send file", name, "not a regular file");
  }
  if (status.size > static_cast<std::int64_t>(SendBuffer.size())) {
    Fail("Cannot send file", name,
         std::to_string(status.size) + " bytes is more than the " +
             std::to_string(SendBuffer.size()) + " bytes one send can hold");
  }

  const auto wanted = static_cast<std::size_t>(status.size);
  std::size_t got = 0;
  while (got < wanted) {
    int error = 0;
    const std::int64_t count = file.Read(std::span(SendBuffer).subspan(got, wanted - got), error);
    if (count > 0) {
      got += static_cast<std::size_t>(count);
    } else if (count == 0) {
      Fail("Cannot read file", name,
           "it ended after " + std::to_string(got) + " of " + std::to_string(wanted) + " bytes");
    } else {
      Fail("Cannot read file", name, os::ErrorText(error));
    }
  }
  return wanted;
}

}  // namespace

std::string CheckFileName(std::int32_t number) {
  return "check" + std::to_string(number) + ".txt";
}

CheckCycle::CheckCycle(serial::SerialLink& link, std::chrono::milliseconds pauseLength, Pause pause)
    : link_(link), pauseLength_(pauseLength), pause_(std::move(pause)) {
  if (!pause_) {
    pause_ = [](std::chrono::milliseconds length) { std::this_thread::sleep_for(length); };
  }
}

void CheckCycle::TimerTimer() {
  // Advanced first, so a file that fails is skipped on the next tick, not retried.
  ++checkNumber_;
  lastTick_ = TickRecord{};
  if (checkNumber_ > FilesPerRotation) {
    checkNumber_ = 0;
    lastTick_.pause = true;
    lastTick_.paused = pauseLength_;
    pause_(pauseLength_);
    return;
  }

  const std::string name = CheckFileName(checkNumber_);
  lastTick_.file = name;
  lastTick_.portNotice = link_.Reopen();
  if (expectations_) {
    lastTick_.judged = true;  // until it is known to have nothing to judge by
    lastTick_.expectation = ReadExpectation(checkNumber_);
    lastTick_.judged = lastTick_.expectation.Judged();
  }
  const std::size_t size = ReadIntoSendBuffer(name);
  lastTick_.size = size;

  serial::Port* port = link_.PortHandle();
  if (port == nullptr) {
    return;
  }
  const std::string device = port->Device();
  lastTick_.port = device;
  if (Sending) {
    Sending(name, size);
  }
  const auto start = std::chrono::steady_clock::now();
  const serial::WriteResult result = port->Write(std::span(SendBuffer).first(size), name);
  lastTick_.took = std::chrono::steady_clock::now() - start;
  lastTick_.left = result.left;
  lastTick_.written = result.written;
  lastTick_.held = port->Held().Notice();
  if (result.Failed()) {
    const std::string reason = serial::Reason(result.error, result.reason);
    const std::string summary = "Cannot send to port " + os::Quoted(device) + ": " + reason;
    const serial::WriteFailure failure = link_.WriteFailed(result);
    if (failure.lost) {
      throw TickFailure(failure.text, device, failure.text);
    }
    throw TickFailure("Cannot send file " + os::Quoted(name) + " to port " + os::Quoted(device) +
                          ": " + reason + " (" + std::to_string(result.written) + " of " +
                          std::to_string(size) + " bytes sent)" + failure.text,
                      device, summary);
  }
  lastTick_.sent = !result.cancelled;
}

}  // namespace feeder
