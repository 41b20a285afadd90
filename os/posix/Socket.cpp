// TCP on Linux: a name looked up aside, each of its addresses tried in turn, a non-blocking socket
// connected with a wait against a deadline and the stop handle, sent to and read without
// blocking.

#include "os/Socket.h"

#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "os/Lookup.h"

#include "os/posix/Descriptor.h"
#include "os/posix/Input.h"

namespace os {
namespace {

// A small send buffer: a peer that stops reading is seen after a few kilobytes of ours, not
// after megabytes.
constexpr int kSendBuffer = 4096;
// Keep-alive: the first probe after 5 s of silence, then every 5 s; the third unanswered ends the
// connection, 20 s after the peer was last heard.
constexpr int kKeepIdle = 5;
constexpr int kKeepInterval = 5;
constexpr int kKeepCount = 3;

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
      if (errno == EAGAIN) {
        return {};
      }
      // A failure: nothing more will come either.
      const Transfer failed{.count = 0, .closed = false, .error = errno};
      Forget(input_, fd_.Get());
      return failed;
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

  std::optional<std::chrono::milliseconds> Unanswered() const override {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(fd_.Get(), IPPROTO_TCP, TCP_INFO, &info, &length) != 0) {
      return std::nullopt;
    }
    // Segments on their way that the peer has not acknowledged: a peer that holds its window
    // shut has none (TCP sends it only probes, which it answers).
    if (info.tcpi_unacked == 0) {
      return std::nullopt;
    }
    return std::chrono::milliseconds(info.tcpi_last_ack_recv);
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

// An address of the name, as the system gave it.
struct Address {
  sockaddr_storage address{};
  socklen_t length = 0;
  int family = 0;
  int protocol = 0;
};

using Lookup = Addresses<Address>;

Lookup Resolve(const std::string& host, const std::string& port, int flags) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  addrinfo* found = nullptr;
  Lookup lookup;
  if (const int code = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); code != 0) {
    lookup.failure =
        code == EAI_SYSTEM ? Outcome::SystemFailed(errno) : Outcome::Failed(gai_strerror(code));
    return lookup;
  }
  for (const addrinfo* each = found; each != nullptr; each = each->ai_next) {
    Address address;
    std::memcpy(&address.address, each->ai_addr,
                std::min<std::size_t>(each->ai_addrlen, sizeof address.address));
    address.length = each->ai_addrlen;
    address.family = each->ai_family;
    address.protocol = each->ai_protocol;
    lookup.addresses.push_back(address);
  }
  ::freeaddrinfo(found);
  return lookup;
}

}  // namespace

std::unique_ptr<Socket> Socket::Connect(const std::string& host, const std::string& port,
                                        std::chrono::milliseconds timeout, WakeHandle cancel,
                                        WakeHandle input, Outcome& failure) {
  const Lookup lookup = LookUp<Lookup>(host, port, AI_NUMERICHOST | AI_NUMERICSERV, Resolve,
                                       Clock::now() + kLookedUpWithin, cancel);
  if (!lookup.failure.Worked()) {
    failure = lookup.failure;
    return nullptr;
  }
  failure = Outcome::Failed("no address");
  // Each address the name has, in the order the system prefers them, each with its share of the
  // time that is left: one that never answers leaves the next its turn.
  const auto deadline = Clock::now() + timeout;
  const std::size_t count = lookup.addresses.size();
  for (std::size_t i = 0; i < count; ++i) {
    const Address& address = lookup.addresses[i];
    const auto now = Clock::now();
    const auto turn = now + (deadline - now) / static_cast<long>(count - i);
    Descriptor fd(
        ::socket(address.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, address.protocol));
    if (!fd) {
      failure = Outcome::SystemFailed(errno);
      continue;
    }
    // Every send goes out at once: the last bytes of a check file are not held back.
    const int on = 1;
    ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
    // A peer that vanishes (a device server that lost power, a cable pulled) answers nothing,
    // not even a reset. Idle, the connection fails once keep-alive probes have found nobody
    // for kUnanswered; busy, Unanswered() tells. Not TCP_USER_TIMEOUT: it also ends a
    // connection whose peer only holds its window shut (a device holding its line, for as
    // long as a printer waits for paper), which must stay a held line.
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdle, sizeof kKeepIdle);
    ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_KEEPINTVL, &kKeepInterval, sizeof kKeepInterval);
    ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address.address), address.length) !=
            0 &&
        errno != EINPROGRESS) {
      failure = Outcome::SystemFailed(errno);
      continue;
    }
    const std::array<Waited, 2> waited{{{.handle = WakeOf(fd.Get()), .ready = Waited::For::Writing},
                                        {.handle = cancel, .ready = Waited::For::Reading}}};
    const auto ready = WaitForAny(waited, turn);
    if (!ready) {
      failure = Outcome::Failed(NoAnswer(timeout));
      continue;
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
