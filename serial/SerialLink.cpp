#include "serial/SerialLink.h"

#include <utility>

#include "os/Error.h"

namespace serial {

SerialLink::SerialLink(Opener opener) : opener_(std::move(opener)) {}

os::Outcome SerialLink::OpenOnce(std::string& mismatch) {
  OpenedPort opened = opener_(wanted_, cancel_, input_.Handle());
  problem_ = opened.problem;
  note_ = opened.note;
  if (!opened.port) {
    return os::Outcome::Failed(
        "Cannot open port " + os::Quoted(wanted_.device) + ": " + opened.failure.Why(),
        opened.failure.Error());
  }
  mismatch = std::move(opened.mismatch);
  portHandle_ =
      std::make_unique<Port>(wanted_.device, std::move(opened.port), cancel_, wanted_, tellHeld_);
  everOpened_ = true;
  lostSaid_ = false;
  return {};
}

os::Outcome SerialLink::Open(const PortOptions& options, os::WakeHandle cancel) {
  wanted_ = options;
  cancel_ = cancel;
  away_ = false;
  everOpened_ = false;
  hintGiven_ = false;
  std::string mismatch;
  const os::Outcome opened = OpenOnce(mismatch);
  if (!portHandle_ && options.reconnect) {
    away_ = true;
    return os::Outcome::Failed(opened.Why() + "; trying again at each tick", opened.Error());
  }
  if (!mismatch.empty()) {
    return os::Outcome::Failed("Port " + os::Quoted(options.device) +
                               " did not take every setting: " + mismatch);
  }
  return opened;
}

WriteFailure SerialLink::WriteFailed(const WriteResult& result) {
  if (!result.gone || !portHandle_) {
    return {};
  }
  lostSaid_ = true;  // the send's failure says it: a look at the port's input need not again
  if (WriteFailure lost = Gone(Reason(result.error, result.reason)); lost.lost) {
    return lost;
  }
  if (std::exchange(hintGiven_, true)) {
    return {};
  }
  return {.lost = false,
          .text = "; the device went away: --reconnect would reopen it when it comes back"};
}

WriteFailure SerialLink::Gone(const std::string& reason) {
  if (!wanted_.reconnect) {
    return {};
  }
  const std::string device = portHandle_->Device();
  // Let go of it at once, every lock with it, so nothing (the replugged device under a new name,
  // another program) is kept from it while it is away.
  Close();
  away_ = true;
  return {
      .lost = true,
      .text = "Port " + os::Quoted(device) + " lost: " + reason + "; reopening when it comes back"};
}

Heard SerialLink::TakeInput() {
  input_.Clear();  // ready again only for what comes from now on
  if (!portHandle_) {
    return {};
  }
  const std::string device = portHandle_->Device();
  ReadResult result;
  const bool alive = portHandle_->ReadInput(result);
  Heard heard;
  for (const std::string& notice : result.notices) {
    heard.notices.push_back("Port " + os::Quoted(device) + ": " + notice);
  }
  if (!alive && !std::exchange(lostSaid_, true)) {
    const std::string reason = Reason(result.error, result.reason);
    const WriteFailure lost = Gone(reason);
    hintGiven_ = true;  // said here: the next send's failure need not say it again
    heard.lost = lost.lost ? lost.text
                           : "Port " + os::Quoted(device) + " lost: " + reason +
                                 "; --reconnect would reopen it when it comes back";
  }
  return heard;
}

std::string SerialLink::Reopen() {
  if (!away_ || portHandle_) {
    return {};
  }
  const bool before = everOpened_;
  std::string mismatch;
  if (!OpenOnce(mismatch).Worked()) {
    return {};  // not back yet: absent, busy, or still being set up
  }
  away_ = false;
  std::string back = "Port " + os::Quoted(wanted_.device) + (before ? " is back" : " is open");
  if (!mismatch.empty()) {
    back += ", but did not take every setting: " + mismatch;
  }
  return back;
}

}  // namespace serial
