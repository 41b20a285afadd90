// Linux's TCP for ports on the network, on loopback: what announces the port's input, and what
// counts as not yet taken by the peer.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <string>

#include "os/Input.h"
#include "os/Socket.h"
#include "os/posix/Descriptor.h"

namespace {

using namespace std::chrono_literals;

// A server on a free port of 127.0.0.1 whose buffer for what it receives is small.
class Listener {
 public:
  Listener() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const int small = 4096;
    ::setsockopt(fd_.Get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(fd_.Get(), 1) != 0 ||
        ::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "no listener";
    }
    port_ = std::to_string(ntohs(address.sin_port));
  }
  const std::string& Port() const { return port_; }
  os::Descriptor Accept() const {
    return os::Descriptor(::accept4(fd_.Get(), nullptr, nullptr, 0));
  }

 private:
  os::Descriptor fd_;
  std::string port_;
};

TEST(SocketTest, WhatThePeerSaysIsNoneOfOursAndAConnectionThatEndsLeavesTheInputQuiet) {
  const Listener server;
  os::InputWake input;
  os::Outcome failure;
  const std::unique_ptr<os::Socket> socket =
      os::Socket::Connect("127.0.0.1", server.Port(), 3s, {}, input.Handle(), failure);
  ASSERT_TRUE(socket) << failure.Why();
  const os::Descriptor peer = server.Accept();
  ASSERT_GE(peer.Get(), 0);

  // The peer says 100 bytes the client has not read yet: they are announced, and none of them is
  // the client's own, not taken.
  const std::array<char, 100> said{};
  ASSERT_EQ(::send(peer.Get(), said.data(), said.size(), 0), 100);
  const os::WakeHandle announced = input.Handle();
  ASSERT_TRUE(os::WaitForAny(std::span(&announced, 1), os::Clock::now() + 3s));
  EXPECT_EQ(socket->Unacknowledged(), 0U);
  EXPECT_EQ(socket->Unanswered(), std::nullopt);  // nothing on its way

  // A peer that reads nothing: what the client sends is held, and counted, once the peer's
  // buffer is full.
  const std::string bytes(65536, 'x');
  std::size_t sent = 0;
  for (os::Transfer transfer = socket->Send(std::as_bytes(std::span(bytes))); transfer.count > 0;
       transfer = socket->Send(std::as_bytes(std::span(bytes)))) {
    sent += transfer.count;
  }
  EXPECT_GT(sent, 0U);
  EXPECT_GT(socket->Unacknowledged().value_or(0), 0U);

  // It goes away: the end is told once, and nothing more is announced, ever.
  ::shutdown(peer.Get(), SHUT_RDWR);
  std::array<std::byte, 4096> buffer{};
  os::Transfer got;
  for (int look = 0; look < 100 && !got.closed && got.error == 0; ++look) {
    ASSERT_TRUE(os::WaitForAny(std::span(&announced, 1), os::Clock::now() + 3s));
    input.Clear();
    got = socket->Receive(buffer);
  }
  EXPECT_TRUE(got.closed || got.error != 0);
  EXPECT_FALSE(os::IsReady(announced));
}

}  // namespace
