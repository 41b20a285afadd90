#include "shell/Headless.h"

#include <poll.h>

#include <array>
#include <cerrno>
#include <system_error>

#include "shell/Events.h"
#include "shell/TickTimer.h"

namespace shell {

int RunHeadless(const Options& options, StopSignals& stopSignals) {
  TickTimer timer(options.period);
  Feed feed(options, timer, stopSignals.Fd());
  feed.Show();

  std::array<pollfd, 2> fds{{{.fd = stopSignals.Fd(), .events = POLLIN, .revents = 0},
                             {.fd = timer.Fd(), .events = POLLIN, .revents = 0}}};
  for (;;) {
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw std::system_error(errno, std::generic_category(), "Cannot wait for the next tick");
    }
    if ((fds[0].revents & POLLIN) != 0 && stopSignals.Take() != 0) {
      break;
    }
    if ((fds[1].revents & POLLIN) != 0 && timer.TakeTick()) {
      feed.Tick();
    }
  }
  feed.Close();
  return 0;
}

}  // namespace shell
