#pragma once

// A TCP connection for a port on the network (a device server, ser2net): connected within a
// bounded time, written and read without blocking, and waited on with os::WaitForAny like every
// other handle. os/posix/Socket.cpp: non-blocking sockets and poll(); os/win32/Socket.cpp:
// Winsock's overlapped sends and receives, whose events are the handles.

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "os/Error.h"
#include "os/Wait.h"

namespace os {

// What became of a send or a receive that did not block.
struct Transfer {
  std::size_t count = 0;  // bytes sent or received; 0 with nothing else set: none could be now
  bool closed = false;    // a receive: the peer closed the connection
  int error = 0;          // the system's error (the connection was reset, ...), or 0
};

// How long a name may take to be looked up. The lookup runs aside (os/Aside.h): a stop ends the
// wait at once, and a lookup that outlasts it is waited for again by the next attempt, not made
// twice.
inline constexpr std::chrono::seconds kLookedUpWithin{5};

// A peer that vanished without a word (a device server that lost power, a pulled cable) is lost
// once it has answered nothing this long: idle, keep-alive probes find nobody and the connection
// fails; busy, Unanswered() says so, and the port gives up. Its loss is said within 30 s either
// way. A peer that is there but takes nothing (its window shut: the device holds its line) is a
// held line, however long.
inline constexpr std::chrono::seconds kUnanswered{20};

// "no answer within 3 s", "the name was not resolved within 5 s".
std::string NoAnswer(std::chrono::milliseconds timeout);
std::string NotLookedUp();

class Socket {
 public:
  // Connects to `host` (a name, an IPv4 address, or an IPv6 address) on `port`. A name is looked
  // up within kLookedUpWithin; then each of its addresses is tried in turn, each with its share of
  // `timeout` (what is left, divided among the addresses not yet tried), so that one that never
  // answers leaves the next its turn. `cancel` ends the attempt at once, the lookup included.
  // Input that arrives is announced on `input` as well as on ForReading() (see os::InputWake),
  // when it is given. A failure says why in the system's words ("Connection refused"), or "no
  // answer within 3 s".
  static std::unique_ptr<Socket> Connect(const std::string& host, const std::string& port,
                                         std::chrono::milliseconds timeout, WakeHandle cancel,
                                         WakeHandle input, Outcome& failure);
  virtual ~Socket() = default;

  // What to wait for until Send can take more, and until Receive has something (or the peer
  // closed the connection).
  virtual Waited ForWriting() const = 0;
  virtual Waited ForReading() const = 0;

  // Sends as much of `bytes` as the connection takes now.
  virtual Transfer Send(std::span<const std::byte> bytes) = 0;
  // Receives what has arrived, up to `into.size()` bytes. Once the peer closed the connection or
  // it failed, nothing more is announced on `input`.
  virtual Transfer Receive(std::span<std::byte> into) = 0;

  // Bytes sent that the peer has not acknowledged yet, where the system tells.
  virtual std::optional<std::size_t> Unacknowledged() const = 0;

  // How long ago the peer last acknowledged anything, while bytes are on their way to it that it
  // has not acknowledged; nothing when none are (a peer that only holds its window shut has
  // none), or where the system does not tell.
  virtual std::optional<std::chrono::milliseconds> Unanswered() const = 0;
};

}  // namespace os
