// A port on the network, carrying the bytes both ways: the device's bytes out through the one
// queue, and what the server sends read at every wait (serial/network/Connection.h).

#include <algorithm>
#include <array>
#include <utility>

#include "serial/network/Connection.h"

namespace serial::network {

NetworkPort::NetworkPort(std::unique_ptr<os::Socket> socket, bool rfc2217, os::WakeHandle cancel)
    : socket_(std::move(socket)),
      rfc2217_(rfc2217),
      cancel_(cancel),
      listen_{.ready = socket_->ForReading(), .take = [this] { Pump(); }} {}

NetworkPort::~NetworkPort() {
  Flush();
}

bool NetworkPort::WriteAll(std::span<const std::byte> bytes, WriteResult& result, HeldLine& held) {
  const std::size_t before = out_.DataSent();
  const std::size_t written = result.written;
  std::size_t queued = 0;
  for (;;) {
    while (queued < bytes.size() && out_.DataQueued() < kPiece) {
      const std::span<const std::byte> piece =
          bytes.subspan(queued, std::min(kPiece, bytes.size() - queued));
      out_.Data(piece, rfc2217_);
      queued += piece.size();
    }
    if (queued == bytes.size() && out_.DataQueued() == 0) {
      Flush();  // telnet's words behind the last piece, if the connection takes them now
      return true;
    }
    const bool going = Step(result, &held);
    if (const std::size_t sent = written + out_.DataSent() - before; sent > result.written) {
      result.written = sent;
      held.Handed(sent);
    }
    if (!going) {
      return false;
    }
  }
}

LineStatus NetworkPort::Status() {
  LineStatus status;
  // What the server sends (flow control, the modem lines) is read at every look.
  if (!Pump() || Vanished()) {
    status.error = failure_.error;
    status.reason = failure_.reason.empty() ? std::string(kClosed) : failure_.reason;
    return status;
  }
  status.queued = socket_->Unacknowledged();
  status.cts = client_.Cts();
  status.hold = client_.Suspended() ? Hold::Suspended : Hold::Unknown;
  return status;
}

void NetworkPort::DiscardOutput() {
  out_.DropData();
  if (rfc2217_) {
    out_.Command(rfc2217::Client::PurgeTransmit());
  }
  Flush();
}

bool NetworkPort::ReadInput(ReadResult& result) {
  const bool alive = Pump();
  if (client_.MalformedCount() > 0 && !malformedSaid_) {
    malformedSaid_ = true;
    result.notices.push_back("the server sent what is not telnet (" + client_.Malformed() +
                             "); ignored");
  }
  if (client_.Overrun() && !overrunSaid_) {
    overrunSaid_ = true;
    result.notices.push_back("the server lost bytes the device sent (an overrun)");
  }
  if (!alive) {
    result.error = failure_.error;
    result.reason = failure_.reason;
    result.gone = true;
  }
  return alive;
}

bool NetworkPort::SendQueued(WriteResult& result, os::Clock::time_point deadline) {
  while (!out_.Empty() && os::Clock::now() < deadline) {
    if (!Step(result, nullptr)) {
      return false;
    }
  }
  return true;
}

bool NetworkPort::Step(WriteResult& result, HeldLine* held) {
  if (!socket_) {
    Lost(result);
    return false;
  }
  // The server asked to wait: telnet's words still go, the device's bytes do not.
  const std::span<const std::byte> next = out_.Next(!client_.Suspended());
  if (!next.empty()) {
    const os::Transfer transfer = socket_->Send(next);
    if (transfer.error != 0) {
      Fail(transfer.error, "");
      Lost(result);
      return false;
    }
    if (transfer.count > 0) {
      out_.Took(transfer.count);
      return true;
    }
  }
  const std::array<os::Waited, 3> waited{{next.empty() ? os::Waited{} : socket_->ForWriting(),
                                          socket_->ForReading(),
                                          {.handle = cancel_, .ready = os::Waited::For::Reading}}};
  auto until = os::Clock::now() + LookAgain;
  if (held != nullptr) {
    if (const auto deadline = held->Deadline()) {
      until = std::min(until, *deadline);
    }
  }
  const auto ready = os::WaitForAny(waited, until);
  if (ready == 2U) {
    result.cancelled = true;
    return false;
  }
  if (ready == 1U && !Pump()) {
    Lost(result);
    return false;
  }
  if (!ready && Vanished()) {
    Lost(result);
    return false;
  }
  if (!ready && held != nullptr) {
    held->Check([this] { return Status(); });
  }
  return true;
}

bool NetworkPort::Vanished() {
  if (const auto silent = socket_->Unanswered(); silent && *silent >= os::kUnanswered) {
    Fail(0, "the server has acknowledged nothing for " + std::to_string(os::kUnanswered.count()) +
                " s");
    return true;
  }
  return false;
}

void NetworkPort::Flush() {
  while (socket_ && !listening_) {
    const std::span<const std::byte> next = out_.Next(!client_.Suspended());
    if (next.empty()) {
      return;
    }
    const os::Transfer transfer = socket_->Send(next);
    if (transfer.error != 0) {
      Fail(transfer.error, "");
      return;
    }
    if (transfer.count == 0) {
      return;
    }
    out_.Took(transfer.count);
  }
}

bool NetworkPort::Pump() {
  if (!socket_) {
    return false;
  }
  std::array<std::byte, 4096> buffer{};
  std::vector<std::byte> data;
  std::vector<std::byte> reply;
  for (;;) {
    const os::Transfer transfer = socket_->Receive(buffer);
    if (transfer.count == 0) {
      if (transfer.closed || transfer.error != 0) {
        Fail(transfer.error, transfer.closed ? kClosed : "");
        return false;
      }
      break;
    }
    received_ += transfer.count;
    const std::span<const std::byte> got = std::span(buffer).first(transfer.count);
    if (!rfc2217_) {
      Keep(got);
      continue;
    }
    data.clear();
    reply.clear();
    client_.Take(got, data, reply);
    Keep(data);
    out_.Command(reply);
  }
  Flush();
  return socket_ != nullptr;
}

void NetworkPort::Keep(std::span<const std::byte> data) {
  if (opened_) {
    if (heard_ && !data.empty()) {
      heard_(data);
    }
    return;
  }
  const std::size_t room = kKeptAtMost - std::min(kKeptAtMost, kept_.size());
  kept_.insert(kept_.end(), data.begin(),
               data.begin() + static_cast<std::ptrdiff_t>(std::min(room, data.size())));
}

void NetworkPort::Fail(int error, const std::string& reason) {
  failure_.error = error;
  failure_.reason = reason;
  failure_.gone = true;
  socket_.reset();
}

void NetworkPort::Lost(WriteResult& result) const {
  result.error = failure_.error;
  result.reason = failure_.reason;
  result.gone = true;
}

}  // namespace serial::network
