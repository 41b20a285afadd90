#include "os/posix/Interrupt.h"

#include <signal.h>
#include <unistd.h>

namespace os {
namespace {

// A real-time signal nothing else in the program uses.
int InterruptSignal() {
  return SIGRTMIN + 4;
}

// Installed once, before the first timer can send the signal, whose default action would end the
// program. Without SA_RESTART, so that the interrupted call returns.
bool Installed() {
  static const bool installed = [] {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    return ::sigaction(InterruptSignal(), &action, nullptr) == 0;
  }();
  return installed;
}

}  // namespace

Interrupter::Interrupter(std::chrono::nanoseconds every) {
  if (!Installed()) {
    return;
  }
  sigevent event{};
  event.sigev_notify = SIGEV_THREAD_ID;
  event.sigev_signo = InterruptSignal();
  event._sigev_un._tid = ::gettid();  // glibc 2.36 names it no better
  if (::timer_create(CLOCK_MONOTONIC, &event, &timer_) != 0) {
    return;
  }
  const auto seconds = std::chrono::floor<std::chrono::seconds>(every);
  const timespec step{.tv_sec = static_cast<time_t>(seconds.count()),
                      .tv_nsec = static_cast<long>((every - seconds).count())};
  // Again and again: a signal that came before the call began would leave it blocking.
  const itimerspec schedule{.it_interval = step, .it_value = step};
  if (::timer_settime(timer_, 0, &schedule, nullptr) != 0) {
    ::timer_delete(timer_);
    return;
  }
  armed_ = true;
}

Interrupter::~Interrupter() {
  if (armed_) {
    ::timer_delete(timer_);
  }
}

}  // namespace os
