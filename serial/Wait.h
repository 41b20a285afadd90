#pragma once

// Waiting: the one way the program blocks, on either platform.
//
//   WakeHandle   something a wait can be woken by: a descriptor that becomes readable (Linux),
//                or an object that becomes signalled (Windows); it does not own what it names
//   OwnedWake    the same, closed when it goes out of scope
//   WakeEvent    a wake-up one thread raises for another; it stays raised until cleared
//   WaitForAny   blocks until one of several handles is ready, or a deadline
//
// Each platform implements these in its own file (serial/posix/Wait.cpp, serial/win32/Wait.cpp).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

namespace serial {

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

// Blocks until one of `handles` is ready or `deadline` has passed; without a deadline, until one
// is ready. The deadline is kept to the platform's best timer, and a wait interrupted by a signal
// goes on for the time that is left. Returns the index of a ready handle, or nothing when the
// deadline passed first. Null handles are never ready. On Windows, an auto-reset object that
// ends the wait is reset by it.
std::optional<std::size_t> WaitForAny(std::span<const WakeHandle> handles,
                                      std::optional<Clock::time_point> deadline = std::nullopt);

// Whether `handle` is ready now, without waiting.
inline bool IsReady(WakeHandle handle) {
  return WaitForAny(std::span(&handle, 1), Clock::time_point{}).has_value();
}

}  // namespace serial
