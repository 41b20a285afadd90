#include "shell/Headless.h"

#include <array>

#include "shell/Feed.h"
#include "shell/TickTimer.h"

namespace shell {

int RunHeadless(const Options& options, StopSignals& stopSignals, Reporter& reporter) {
  TickTimer timer(options.period);
  Feed feed(options, timer, stopSignals.Wake(), reporter);
  feed.Show();

  const std::array<os::WakeHandle, 3> handles{stopSignals.Wake(), timer.Wake(), feed.InputWake()};
  for (;;) {
    const auto ready = os::WaitForAny(handles);
    if (ready == 0U && stopSignals.Take()) {
      break;
    }
    if (ready == 1U && timer.TakeTick()) {
      feed.Tick();
    }
    if (ready == 2U) {
      feed.Input();
    }
  }
  feed.Close();
  return 0;
}

}  // namespace shell
