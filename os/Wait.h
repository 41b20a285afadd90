#pragma once

// Waiting: the one way the program blocks, on either system.
//
//   WakeHandle   something a wait can be woken by: a file descriptor (Linux) or an object
//                (Windows); it does not own what it names
//   OwnedWake    the same, closed when it goes out of scope (on Linux os::Descriptor, in
//                os/posix, is one seen as its int)
//   WakeEvent    a wake-up one thread raises for another; it stays raised until cleared
//   WaitForAny   blocks until one of several handles is ready (readable, or writable), or a
//                deadline has passed
//
// A deadline is kept by a timer of the waiting thread's own, made once and set again for each
// wait, never by the system's wait time-out: poll() may run late by 0.1 % of its time-out, and
// Windows keeps time-outs to whole milliseconds. A wait interrupted by a signal goes on for the
// time that is left. Each system's side is in os/posix/Wait.cpp and os/win32/Wait.cpp.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

namespace os {

using Clock = std::chrono::steady_clock;

class WakeHandle {
 public:
  using Native = std::intptr_t;  // a file descriptor, or a HANDLE's value

  constexpr WakeHandle() = default;
  constexpr explicit WakeHandle(Native native) : native_(native) {}

  constexpr Native NativeValue() const { return native_; }
  constexpr explicit operator bool() const { return native_ != kNone; }
  friend constexpr bool operator==(WakeHandle, WakeHandle) = default;

 private:
  static constexpr Native kNone = -1;
  Native native_ = kNone;
};

// The system's own handle (an int file descriptor, a HANDLE) as a WakeHandle, and back: for the
// code of each module that talks to its system.
template <typename System>
WakeHandle WakeOf(System native) {
  if constexpr (std::is_pointer_v<System>) {
    return native != nullptr ? WakeHandle(reinterpret_cast<WakeHandle::Native>(native))
                             : WakeHandle();
  } else {
    return native >= 0 ? WakeHandle(static_cast<WakeHandle::Native>(native)) : WakeHandle();
  }
}
template <typename System>
System NativeOf(WakeHandle handle) {
  if constexpr (std::is_pointer_v<System>) {
    return handle ? reinterpret_cast<System>(handle.NativeValue()) : nullptr;
  } else {
    return static_cast<System>(handle.NativeValue());
  }
}

class OwnedWake {
 public:
  OwnedWake() = default;
  explicit OwnedWake(WakeHandle handle) : handle_(handle) {}
  OwnedWake(const OwnedWake&) = delete;
  OwnedWake& operator=(const OwnedWake&) = delete;
  OwnedWake(OwnedWake&& other) noexcept : handle_(std::exchange(other.handle_, WakeHandle())) {}
  OwnedWake& operator=(OwnedWake&& other) noexcept {
    if (this != &other) {
      Reset(std::exchange(other.handle_, WakeHandle()));
    }
    return *this;
  }
  ~OwnedWake() { Reset(); }

  WakeHandle Get() const { return handle_; }
  explicit operator bool() const { return static_cast<bool>(handle_); }
  void Reset(WakeHandle handle = WakeHandle());

 private:
  WakeHandle handle_;
};

class WakeEvent {
 public:
  // Throws std::system_error when the system has no event to give.
  WakeEvent();
  void Raise();
  void Clear();
  WakeHandle Handle() const { return owned_.Get(); }

 private:
  OwnedWake owned_;
};

// What a wait waits for of a handle: that it can be read (or is signalled), or written.
struct Waited {
  enum class For { Reading, Writing };
  WakeHandle handle;
  For ready = For::Reading;
};

// Blocks until one of `waited` is ready or `deadline` has passed; without a deadline, until one
// is ready. Returns the index of a ready one, or nothing when the deadline passed first. Null
// handles are never ready. On Windows a handle is ready when it is signalled, whatever it is
// waited for, and an auto-reset object that ends the wait is reset by it. Throws
// std::system_error when the system cannot wait.
std::optional<std::size_t> WaitForAny(std::span<const Waited> waited,
                                      std::optional<Clock::time_point> deadline = std::nullopt);

// Each system's own wait, as WaitForAny without the heartbeat (os/posix/Wait.cpp,
// os/win32/Wait.cpp). The program waits with WaitForAny.
std::optional<std::size_t> SystemWait(std::span<const Waited> waited,
                                      std::optional<Clock::time_point> deadline);

// A beat the program's waits give at least every `every` while it waits, in one long wait or
// across many short ones: a service manager can then tell a program that waits (for its next
// tick, through a long pause, a long send or a held line) from one that hangs (systemd's
// watchdog). None unless set.
void SetHeartbeat(std::chrono::nanoseconds every, std::function<void()> beat);

// The same, each handle waited for reading.
std::optional<std::size_t> WaitForAny(std::span<const WakeHandle> handles,
                                      std::optional<Clock::time_point> deadline = std::nullopt);

// Whether `handle` is ready now, without waiting.
inline bool IsReady(WakeHandle handle) {
  return WaitForAny(std::span(&handle, 1), Clock::time_point{}).has_value();
}

// Blocks until `deadline`, or until `stop` is ready, whichever comes first. Returns false when
// stopped early.
inline bool WaitUntil(Clock::time_point deadline, WakeHandle stop) {
  return !WaitForAny(std::span(&stop, 1), deadline).has_value();
}

}  // namespace os
