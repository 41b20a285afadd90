#include "shell/Headless.h"

#include <array>

#include "shell/Feed.h"
#include "shell/Notify.h"
#include "shell/TickTimer.h"

namespace shell {

int RunHeadless(const Options& options, StopSignals& stopSignals, Reporter& reporter) {
  TickTimer timer(options.period);
  Feed feed(options, timer, stopSignals.Wake(), reporter);
  // As a service: how it is, and a heartbeat from every wait at half the watchdog's time.
  ServiceNotify notify;
  feed.OnStatus([&notify](const std::string& status) { notify.Status(status); });
  if (const auto watchdog = notify.Watchdog()) {
    os::SetHeartbeat(*watchdog / 2, [&notify] { notify.Alive(); });
  }
  feed.Show();
  notify.Ready();

  const std::array<os::WakeHandle, 3> handles{stopSignals.Wake(), timer.Wake(), feed.InputWake()};
  while (!feed.Finished()) {
    const auto ready = os::WaitForAny(handles);
    if (ready == 0U && stopSignals.Take()) {
      break;
    }
    if (ready == 1U && timer.TakeTick()) {
      notify.Alive();  // the beat
      feed.Tick();
    }
    if (ready == 2U) {
      feed.Input();
    }
  }
  notify.Status("stopping");
  feed.Close();
  os::SetHeartbeat(std::chrono::nanoseconds::zero(), nullptr);
  return feed.ExitStatus();
}

}  // namespace shell
