// TCP on Windows: a Winsock socket with one overlapped send and one overlapped receive under way
// at a time, whose events are what the program waits for. A receive is always under way, so that
// what arrives is announced on the input event as it comes.

#include "os/Socket.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <mstcpip.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "os/Lookup.h"
#include "os/win32/Text.h"

namespace os {
namespace {

constexpr int kSendBuffer = 4096;       // as on Linux: a peer that stops reading is seen soon
constexpr unsigned long kKeepIdle = 5;  // seconds of silence before the first probe
constexpr unsigned long kKeepInterval = 5;
constexpr unsigned long kKeepCount = 3;
constexpr DWORD kReceiveSize = 4096;

int LastError() {
  return WSAGetLastError();
}

// Winsock, started once for the program.
bool Started() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

// An event of the socket's own, for a send or a receive nobody else watches.
OwnedWake NewEvent() {
  return OwnedWake(WakeOf(CreateEventW(nullptr, TRUE, TRUE, nullptr)));
}

class WindowsSocket final : public Socket {
 public:
  WindowsSocket(SOCKET socket, WakeHandle input)
      : socket_(socket),
        sendEvent_(NewEvent()),
        ownReceiveEvent_(input ? OwnedWake() : NewEvent()),
        receiveEvent_(input ? input : ownReceiveEvent_.Get()) {
    sending_.hEvent = NativeOf<HANDLE>(sendEvent_.Get());
    receiving_.hEvent = NativeOf<HANDLE>(receiveEvent_);
    received_.resize(kReceiveSize);
    StartReceive();
  }

  ~WindowsSocket() override {
    // Nothing under way may outlive the records the system writes to when it ends.
    CancelIoEx(reinterpret_cast<HANDLE>(socket_), nullptr);
    DWORD count = 0;
    DWORD flags = 0;
    if (sendPending_) {
      WSAGetOverlappedResult(socket_, &sending_, &count, TRUE, &flags);
    }
    if (receivePending_) {
      WSAGetOverlappedResult(socket_, &receiving_, &count, TRUE, &flags);
    }
    ResetEvent(NativeOf<HANDLE>(receiveEvent_));
    closesocket(socket_);
  }

  Waited ForWriting() const override {
    return {.handle = sendEvent_.Get(), .ready = Waited::For::Writing};
  }
  Waited ForReading() const override {
    return {.handle = receiveEvent_, .ready = Waited::For::Reading};
  }

  Transfer Send(std::span<const std::byte> bytes) override {
    if (sendPending_ && !Finished(sending_, sendPending_, sendError_)) {
      return {};
    }
    if (sendError_ != 0) {
      return {.count = 0, .closed = false, .error = sendError_};
    }
    // The bytes are the system's until the send is over: a copy of them.
    const std::size_t count = std::min<std::size_t>(bytes.size(), 65536);
    sent_.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
    WSABUF buffer{.len = static_cast<ULONG>(count), .buf = reinterpret_cast<char*>(sent_.data())};
    if (WSASend(socket_, &buffer, 1, nullptr, 0, &sending_, nullptr) != 0 &&
        LastError() != WSA_IO_PENDING) {
      return {.count = 0, .closed = false, .error = LastError()};
    }
    sendPending_ = true;
    return {.count = count, .closed = false, .error = 0};
  }

  Transfer Receive(std::span<std::byte> into) override {
    if (offset_ == length_) {
      if (!receivePending_ || ended_) {
        ResetEvent(NativeOf<HANDLE>(receiveEvent_));  // told once: nothing more to announce
        return Ended();
      }
      // Ready again only when the receive under way ends: the event is the program's input
      // handle, which another may have set (a time asked for), and a wait on it would otherwise
      // end at once, again and again. Looked at after the reset, so no ending is missed.
      ResetEvent(NativeOf<HANDLE>(receiveEvent_));
      if (!Finished(receiving_, receivePending_, receiveError_)) {
        return {};
      }
      length_ = receivedCount_;
      offset_ = 0;
      if (receiveError_ != 0 || length_ == 0) {
        ended_ = true;
        ResetEvent(NativeOf<HANDLE>(receiveEvent_));  // nothing more to announce
        return Ended();
      }
    }
    const std::size_t count = std::min(into.size(), length_ - offset_);
    std::copy_n(received_.begin() + static_cast<std::ptrdiff_t>(offset_), count, into.begin());
    offset_ += count;
    if (offset_ == length_) {
      StartReceive();
    }
    return {.count = count, .closed = false, .error = 0};
  }

  // Windows keeps the time itself: TCP_MAXRT ends a connection whose bytes go unanswered.
  std::optional<std::chrono::milliseconds> Unanswered() const override { return std::nullopt; }

  std::optional<std::size_t> Unacknowledged() const override {
    // What the system has not taken yet of the send under way; Winsock tells no more.
    return sendPending_ && WaitForSingleObject(sending_.hEvent, 0) != WAIT_OBJECT_0 ? sent_.size()
                                                                                    : 0;
  }

 private:
  Transfer Ended() const {
    return {.count = 0, .closed = receiveError_ == 0, .error = receiveError_};
  }

  // Whether the operation under way on `overlapped` is over; its count in receivedCount_ for a
  // receive, its error in `error`.
  bool Finished(WSAOVERLAPPED& overlapped, bool& pending, int& error) {
    DWORD count = 0;
    DWORD flags = 0;
    if (!WSAGetOverlappedResult(socket_, &overlapped, &count, FALSE, &flags)) {
      if (LastError() == WSA_IO_INCOMPLETE) {
        return false;
      }
      error = LastError();
    }
    pending = false;
    if (&overlapped == &receiving_) {
      receivedCount_ = count;
    }
    return true;
  }

  void StartReceive() {
    offset_ = length_ = 0;
    WSABUF buffer{.len = kReceiveSize, .buf = reinterpret_cast<char*>(received_.data())};
    DWORD flags = 0;
    if (WSARecv(socket_, &buffer, 1, nullptr, &flags, &receiving_, nullptr) != 0 &&
        LastError() != WSA_IO_PENDING) {
      receiveError_ = LastError();
      ended_ = true;
      SetEvent(NativeOf<HANDLE>(receiveEvent_));  // so that Receive is called, and tells of it
      return;
    }
    receivePending_ = true;
  }

  SOCKET socket_;
  OwnedWake sendEvent_;
  OwnedWake ownReceiveEvent_;
  WakeHandle receiveEvent_;
  WSAOVERLAPPED sending_{};
  WSAOVERLAPPED receiving_{};
  bool sendPending_ = false;
  bool receivePending_ = false;
  int sendError_ = 0;
  int receiveError_ = 0;
  bool ended_ = false;
  std::vector<std::byte> sent_;
  std::vector<std::byte> received_;
  std::size_t receivedCount_ = 0;
  std::size_t offset_ = 0;
  std::size_t length_ = 0;
};

// An address of the name, as the system gave it.
struct Address {
  SOCKADDR_STORAGE address{};
  int length = 0;
  int family = 0;
};

using Lookup = Addresses<Address>;

Lookup Resolve(const std::string& host, const std::string& port, int flags) {
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = flags;
  ADDRINFOW* found = nullptr;
  Lookup lookup;
  if (GetAddrInfoW(Widen(host).c_str(), Widen(port).c_str(), &hints, &found) != 0) {
    lookup.failure = Outcome::SystemFailed(LastError());
    return lookup;
  }
  for (const ADDRINFOW* each = found; each != nullptr; each = each->ai_next) {
    Address address;
    std::memcpy(&address.address, each->ai_addr,
                std::min<std::size_t>(each->ai_addrlen, sizeof address.address));
    address.length = static_cast<int>(each->ai_addrlen);
    address.family = each->ai_family;
    lookup.addresses.push_back(address);
  }
  FreeAddrInfoW(found);
  return lookup;
}

// A peer that vanishes (a device server that lost power, a cable pulled) answers nothing, not
// even a reset: probes from kKeepIdle of silence, and no retransmission past kUnanswered. Where
// Windows does not take a setting (TCP_KEEPCNT before Windows 10, TCP_MAXRT under Wine), it keeps
// its own.
void KeepWatch(SOCKET socket) {
  tcp_keepalive keepalive{
      .onoff = 1, .keepalivetime = kKeepIdle * 1000, .keepaliveinterval = kKeepInterval * 1000};
  DWORD returned = 0;
  WSAIoctl(socket, SIO_KEEPALIVE_VALS, &keepalive, sizeof keepalive, nullptr, 0, &returned, nullptr,
           nullptr);
  constexpr int kKeepCountOption = 16;     // TCP_KEEPCNT, which mingw-w64's headers lack
  constexpr int kMaxRetransmitOption = 5;  // TCP_MAXRT, in seconds
  const DWORD count = kKeepCount;
  setsockopt(socket, IPPROTO_TCP, kKeepCountOption, reinterpret_cast<const char*>(&count),
             sizeof count);
  const auto seconds = static_cast<DWORD>(kUnanswered.count());
  setsockopt(socket, IPPROTO_TCP, kMaxRetransmitOption, reinterpret_cast<const char*>(&seconds),
             sizeof seconds);
}

}  // namespace

std::unique_ptr<Socket> Socket::Connect(const std::string& host, const std::string& port,
                                        std::chrono::milliseconds timeout, WakeHandle cancel,
                                        WakeHandle input, Outcome& failure) {
  if (!Started()) {
    failure = Outcome::SystemFailed(LastError());
    return nullptr;
  }
  const Lookup lookup =
      LookUp<Lookup>(host, port, AI_NUMERICHOST, Resolve, Clock::now() + kLookedUpWithin, cancel);
  if (!lookup.failure.Worked()) {
    failure = lookup.failure;
    return nullptr;
  }
  failure = Outcome::Failed("no address");
  const OwnedWake connected(WakeOf(CreateEventW(nullptr, TRUE, FALSE, nullptr)));
  // Each address in the order the system prefers them, each with its share of the time left.
  const auto deadline = Clock::now() + timeout;
  const std::size_t count = lookup.addresses.size();
  for (std::size_t i = 0; i < count; ++i) {
    const Address& address = lookup.addresses[i];
    const auto now = Clock::now();
    const auto turn = now + (deadline - now) / static_cast<long>(count - i);
    SOCKET socket = WSASocketW(address.family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                               WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) {
      failure = Outcome::SystemFailed(LastError());
      continue;
    }
    const BOOL on = TRUE;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    setsockopt(socket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&kSendBuffer),
               sizeof kSendBuffer);
    // Connected without blocking (WSAEventSelect makes the socket so), waited for with the stop
    // handle; then the event is let go and the socket works by overlapped sends and receives.
    HANDLE event = NativeOf<HANDLE>(connected.Get());
    ResetEvent(event);
    WSAEventSelect(socket, event, FD_CONNECT);
    if (connect(socket, reinterpret_cast<const sockaddr*>(&address.address), address.length) != 0 &&
        LastError() != WSAEWOULDBLOCK) {
      failure = Outcome::SystemFailed(LastError());
      closesocket(socket);
      continue;
    }
    const std::array<WakeHandle, 2> waited{connected.Get(), cancel};
    const auto ready = WaitForAny(waited, turn);
    WSANETWORKEVENTS events{};
    if (ready == 0U) {
      WSAEnumNetworkEvents(socket, event, &events);
    }
    WSAEventSelect(socket, nullptr, 0);
    if (ready == 1U) {
      closesocket(socket);
      failure = Outcome::Failed("stopped");
      return nullptr;
    }
    if (!ready) {
      closesocket(socket);
      failure = Outcome::Failed(NoAnswer(timeout));
      continue;
    }
    if (const int error = events.iErrorCode[FD_CONNECT_BIT]; error != 0) {
      failure = Outcome::SystemFailed(error);
      closesocket(socket);
      continue;
    }
    KeepWatch(socket);
    failure = Outcome();
    return std::make_unique<WindowsSocket>(socket, input);
  }
  return nullptr;
}

}  // namespace os
