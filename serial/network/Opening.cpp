// Opening a port on the network: connected, the server heard first, and with RFC 2217 the line
// given and acknowledged (serial/network/Connection.h).

#include <algorithm>
#include <array>
#include <iterator>
#include <utility>

#include "serial/network/Connection.h"
#include "serial/network/NetworkPort.h"

namespace serial {
namespace network {

using rfc2217::Setting;

os::Outcome NetworkPort::Negotiate(const LineSettings& line, std::string& mismatch,
                                   std::string& note) {
  if (const os::Outcome greeted = Greeted(); !greeted.Worked()) {
    return greeted;
  }
  // After the answers to what the server asked while it spoke: the client's own.
  out_.Command(client_.Start(line));
  WriteResult sent;
  if (!SendQueued(sent, os::Clock::now() + kAcknowledgedWithin)) {
    return sent.cancelled ? os::Outcome::Failed("stopped") : Ended(sent);
  }
  if (!out_.Empty()) {
    return os::Outcome::Failed("the server took nothing within " +
                               std::to_string(std::chrono::seconds(kAcknowledgedWithin).count()) +
                               " s");
  }
  const std::array<Setting, 5> essential{Setting::BaudRate, Setting::DataSize, Setting::Parity,
                                         Setting::StopSize, Setting::FlowControl};
  const auto missing = [this](std::span<const Setting> settings) {
    std::vector<Setting> left;
    std::copy_if(settings.begin(), settings.end(), std::back_inserter(left),
                 [this](Setting setting) { return !client_.Acknowledged(setting); });
    return left;
  };
  switch (ReadUntil([&] { return !client_.Refusal().empty() || missing(essential).empty(); },
                    os::Clock::now() + kAcknowledgedWithin)) {
    case Until::Stopped:
      return os::Outcome::Failed("stopped");
    case Until::Ended:
      return Ended(failure_);
    case Until::Done:
    case Until::Time:
      break;
  }
  if (!client_.Refusal().empty()) {
    problem_ = PortProblem::NotSerial;
    return os::Outcome::Failed("the server refused: " + client_.Refusal());
  }
  if (const std::vector<Setting> left = missing(essential); !left.empty()) {
    return os::Outcome::Failed("the server did not acknowledge the line settings within " +
                               std::to_string(std::chrono::seconds(kAcknowledgedWithin).count()) +
                               " s (" + Names(left) + ")");
  }
  std::vector<Setting> optional{Setting::Dtr, Setting::Purge};
  if (!line.ctsRtsFlow) {
    optional.push_back(Setting::Rts);
  }
  ReadUntil([&] { return missing(optional).empty(); }, os::Clock::now() + kMoreAcknowledgements);
  if (const std::vector<Setting> left = missing(optional); !left.empty()) {
    note = "the server did not acknowledge " + Names(left) +
           " (many never do): they are as it keeps them";
  }
  mismatch = client_.Mismatch(line);
  return {};
}

os::Outcome NetworkPort::Greeted() {
  listening_ = true;
  const auto latest = os::Clock::now() + kGreetedWithin;
  for (;;) {
    const auto now = os::Clock::now();
    const std::size_t before = received_;
    const Until until = now < latest ? ReadUntil([&] { return received_ != before; },
                                                 std::min(latest, now + kQuietFor))
                                     : Until::Time;
    switch (until) {
      case Until::Done:
        continue;  // more came: quiet from now
      case Until::Time:
        listening_ = false;
        return {};
      case Until::Stopped:
        return os::Outcome::Failed("stopped");
      case Until::Ended:
        return Ended(failure_);
    }
  }
}

NetworkPort::Until NetworkPort::ReadUntil(const std::function<bool()>& enough,
                                          os::Clock::time_point deadline) {
  for (;;) {
    if (enough()) {
      return Until::Done;
    }
    if (!socket_) {
      return Until::Ended;
    }
    const std::array<os::Waited, 2> waited{
        {socket_->ForReading(), {.handle = cancel_, .ready = os::Waited::For::Reading}}};
    const auto ready = os::WaitForAny(waited, deadline);
    if (!ready) {
      return Until::Time;
    }
    if (*ready == 1) {
      return Until::Stopped;
    }
    if (!Pump()) {
      return Until::Ended;
    }
  }
}

os::Outcome NetworkPort::Ended(const WriteResult& ended) {
  std::string words;
  for (const std::byte byte : kept_) {
    const auto letter = std::to_integer<char>(byte);
    if (letter == '\r' || letter == '\n') {
      if (!words.empty()) {
        break;
      }
    } else if (letter >= ' ' && letter <= '~' && words.size() < 120) {
      words += letter;
    }
  }
  if (!words.empty()) {
    problem_ = PortProblem::Busy;  // the server serves one client, and has one
  }
  // Whether it closed or reset the connection, what it said is the reason.
  if (!words.empty()) {
    return os::Outcome::Failed(std::string(kClosed) + ": \"" + words + "\"", ended.error);
  }
  return os::Outcome::Failed(Reason(ended.error, ended.reason), ended.error);
}

std::string NetworkPort::Names(const std::vector<Setting>& settings) {
  constexpr std::array<const char*, rfc2217::kSettings> names{
      "speed", "data size", "parity", "stop size", "flow control", "DTR", "RTS", "the purge"};
  std::string text;
  for (std::size_t i = 0; i < settings.size(); ++i) {
    text += (i == 0                     ? ""
             : i + 1 == settings.size() ? " and "
                                        : ", ") +
            std::string(names[static_cast<std::size_t>(settings[i])]);
  }
  return text;
}

void NetworkPort::Opened(std::function<void(std::span<const std::byte>)> heard) {
  opened_ = true;
  kept_.clear();
  heard_ = std::move(heard);
}

}  // namespace network

using network::NetworkPort;

OpenedPort OpenNetworkPortOver(std::unique_ptr<os::Socket> socket, bool rfc2217,
                               const PortOptions& options, os::WakeHandle cancel) {
  auto port = std::make_unique<NetworkPort>(std::move(socket), rfc2217, cancel);
  std::string mismatch;
  std::string note;
  const os::Outcome ready =
      rfc2217 ? port->Negotiate(options.line, mismatch, note) : port->Greeted();
  if (!ready.Worked()) {
    return OpenedPort::Refused(port->Problem(), ready);
  }
  port->Opened(options.heard);
  return {.port = std::move(port),
          .failure = {},
          .mismatch = std::move(mismatch),
          .problem = PortProblem::None,
          .note = std::move(note)};
}

OpenedPort OpenNetworkPort(const NetworkAddress& address, const PortOptions& options,
                           os::WakeHandle cancel, os::WakeHandle input) {
  os::Outcome failure;
  std::unique_ptr<os::Socket> socket = os::Socket::Connect(
      address.host, address.port, network::kConnectWithin, cancel, input, failure);
  if (!socket) {
    return OpenedPort::Refused(PortProblem::Network,
                               os::Outcome::Failed("cannot connect to " + address.host + " port " +
                                                       address.port + ": " + failure.Why(),
                                                   failure.Error()));
  }
  return OpenNetworkPortOver(std::move(socket), address.rfc2217, options, cancel);
}

OpenedPort OpenPort(const PortOptions& options, os::WakeHandle cancel, os::WakeHandle input) {
  if (const std::optional<NetworkAddress> address = NetworkPortOf(options.device)) {
    return OpenNetworkPort(*address, options, cancel, input);
  }
  return OpenNativePort(options, cancel, input);
}

}  // namespace serial
