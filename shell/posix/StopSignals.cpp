#include "shell/StopSignals.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace shell {

StopSignals::StopSignals() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGHUP);
  if (const int error = ::pthread_sigmask(SIG_BLOCK, &stop, nullptr); error != 0) {
    throw std::system_error(error, std::generic_category(), "Cannot block stop signals");
  }
  const int fd = ::signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), "Cannot watch stop signals");
  }
  wake_.Reset(os::WakeOf(fd));
  // A stray user signal must not end a feed; a hung-up port reports EIO, not SIGPIPE.
  ::signal(SIGUSR1, SIG_IGN);
  ::signal(SIGUSR2, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);
}

StopSignals::~StopSignals() = default;

void StopSignals::Request() {
  ::kill(::getpid(), SIGTERM);  // blocked, so only the signalfd hears it
}

bool StopSignals::Take() {
  signalfd_siginfo info{};
  return ::read(os::NativeOf<int>(wake_.Get()), &info, sizeof info) == sizeof info;
}

}  // namespace shell
