// TCP on Linux: a non-blocking socket, connected with a wait against a deadline and the stop
// handle, sent to and read without blocking.

#include "os/Socket.h"

#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "os/posix/Descriptor.h"
#include "os/posix/Input.h"

namespace os {
namespace {

// A small send buffer: a peer that stops reading is seen after a few kilobytes of ours, not
// after megabytes.
constexpr int kSendBuffer = 4096;

class PosixSocket final : public Socket {
 public:
  PosixSocket(Descriptor fd, WakeHandle input) : fd_(std::move(fd)), input_(input) {}

  Waited ForWriting() const override {
    return {.handle = WakeOf(fd_.Get()), .ready = Waited::For::Writing};
  }
  Waited ForReading() const override {
    return {.handle = WakeOf(fd_.Get()), .ready = Waited::For::Reading};
  }

  Transfer Send(std::span<const std::byte> bytes) override {
    for (;;) {
      const ssize_t count = ::send(fd_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (count >= 0) {
        return {.count = static_cast<std::size_t>(count), .closed = false, .error = 0};
      }
      if (errno == EINTR) {
        continue;
      }
      return {.count = 0, .closed = false, .error = errno == EAGAIN ? 0 : errno};
    }
  }

  Transfer Receive(std::span<std::byte> into) override {
    for (;;) {
      const ssize_t count = ::recv(fd_.Get(), into.data(), into.size(), 0);
      if (count > 0) {
        return {.count = static_cast<std::size_t>(count), .closed = false, .error = 0};
      }
      if (count < 0 && errno == EINTR) {
        continue;
      }
      if (count < 0 && errno == EAGAIN) {
        return {};
      }
      // The end, or a failure: nothing more will come, and the descriptor would stay readable.
      const Transfer ended{.count = 0, .closed = count == 0, .error = count < 0 ? errno : 0};
      Forget(input_, fd_.Get());
      return ended;
    }
  }

  std::optional<std::size_t> Unacknowledged() const override {
    int queued = 0;
    if (::ioctl(fd_.Get(), SIOCOUTQ, &queued) != 0) {
      return std::nullopt;
    }
    return static_cast<std::size_t>(queued);
  }

 private:
  Descriptor fd_;
  WakeHandle input_;
};

}  // namespace

std::unique_ptr<Socket> Socket::Connect(const std::string& host, const std::string& port,
                                        std::chrono::milliseconds timeout, WakeHandle cancel,
                                        WakeHandle input, Outcome& failure) {
  const auto deadline = Clock::now() + timeout;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const int code = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); code != 0) {
    failure =
        code == EAI_SYSTEM ? Outcome::SystemFailed(errno) : Outcome::Failed(gai_strerror(code));
    return nullptr;
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);
  failure = Outcome::Failed("no address");
  // Each address the name has, in the order the system prefers them, within the one time.
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    Descriptor fd(::socket(address->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC,
                           address->ai_protocol));
    if (!fd) {
      failure = Outcome::SystemFailed(errno);
      continue;
    }
    // Every send goes out at once: the last bytes of a check file are not held back.
    const int on = 1;
    ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
    if (::connect(fd.Get(), address->ai_addr, address->ai_addrlen) != 0 && errno != EINPROGRESS) {
      failure = Outcome::SystemFailed(errno);
      continue;
    }
    const std::array<Waited, 2> waited{{{.handle = WakeOf(fd.Get()), .ready = Waited::For::Writing},
                                        {.handle = cancel, .ready = Waited::For::Reading}}};
    const auto ready = WaitForAny(waited, deadline);
    if (!ready) {
      failure = Outcome::Failed(
          "no answer within " +
          std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timeout).count()) + " s");
      return nullptr;
    }
    if (*ready == 1) {
      failure = Outcome::Failed("stopped");
      return nullptr;
    }
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
      failure = Outcome::SystemFailed(error);
      continue;
    }
    if (const int announced = Announce(input, fd.Get()); announced != 0) {
      failure = Outcome::SystemFailed(announced);
      return nullptr;
    }
    failure = Outcome();
    return std::make_unique<PosixSocket>(std::move(fd), input);
  }
  return nullptr;
}

}  // namespace os
