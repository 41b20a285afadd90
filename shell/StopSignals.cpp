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
  fd_.Reset(::signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!fd_) {
    throw std::system_error(errno, std::generic_category(), "Cannot watch stop signals");
  }
  // A stray user signal must not end a feed; a hung-up port reports EIO, not SIGPIPE.
  ::signal(SIGUSR1, SIG_IGN);
  ::signal(SIGUSR2, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);
}

int StopSignals::Take() {
  signalfd_siginfo info{};
  if (::read(fd_.Get(), &info, sizeof info) != sizeof info) {
    return 0;
  }
  return static_cast<int>(info.ssi_signo);
}

}  // namespace shell
