#include "serial/NetworkPort.h"

#include <algorithm>
#include <array>
#include <functional>
#include <utility>
#include <vector>

#include "os/Socket.h"
#include "serial/Rfc2217.h"

namespace serial {
namespace {

using namespace std::chrono_literals;
using rfc2217::Setting;

constexpr auto kConnectWithin = 3s;
constexpr auto kAcknowledgedWithin = 3s;
// DTR, RTS and the purge, which many servers never acknowledge, are waited for this much longer.
constexpr auto kMoreAcknowledgements = 250ms;
// A server that refuses a client (ser2net, to a second one) greets it, says why and closes the
// connection at once. Had the client said a word meanwhile, the server would reset the
// connection instead, and Windows then drops what it said; so the server speaks first, until it
// has been quiet this long, and this long at most.
constexpr auto kQuietFor = 100ms;
constexpr auto kGreetedWithin = 500ms;
// What a server says before it closes a connection it refuses is kept up to this much.
constexpr std::size_t kKeptAtMost = 4096;
// The device's bytes go out this many at a time, so that a held send's count moves as they do.
constexpr std::size_t kPiece = 1024;

const std::string kClosed = "the server closed the connection";

class NetworkPort final : public NativePort {
 public:
  NetworkPort(std::unique_ptr<os::Socket> socket, bool rfc2217, os::WakeHandle cancel)
      : socket_(std::move(socket)),
        rfc2217_(rfc2217),
        cancel_(cancel),
        listen_{.ready = socket_->ForReading(), .take = [this] { Pump(); }} {}

  // RFC 2217: offers the options and sends the line, then waits for the server to acknowledge
  // it. `mismatch`: what it took otherwise; `note`: what it did not acknowledge that many servers
  // never do.
  os::Outcome Negotiate(const LineSettings& line, std::string& mismatch, std::string& note) {
    if (const os::Outcome greeted = Greeted(); !greeted.Worked()) {
      return greeted;
    }
    // The answers to what the server asked while it spoke, then the client's own.
    std::vector<std::byte> opening = std::exchange(unsaid_, {});
    const std::vector<std::byte> start = client_.Start(line);
    opening.insert(opening.end(), start.begin(), start.end());
    WriteResult sent;
    if (!SendAll(opening, sent, nullptr)) {
      return Ended(sent);
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

  // Reads what the server says as a client connects, saying nothing, until it is quiet: a
  // server that refuses the client is then heard whole.
  os::Outcome Greeted() {
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

  PortProblem Problem() const { return problem_; }

  bool WriteAll(std::span<const std::byte> bytes, WriteResult& result, HeldLine& held) override {
    std::vector<std::byte> encoded;
    for (std::size_t done = 0; done < bytes.size();) {
      const std::span<const std::byte> piece =
          bytes.subspan(done, std::min(kPiece, bytes.size() - done));
      encoded.clear();
      if (rfc2217_) {
        rfc2217::Client::Escape(piece, encoded);
      } else {
        encoded.assign(piece.begin(), piece.end());
      }
      if (!SendAll(encoded, result, &held)) {
        return false;
      }
      done += piece.size();
      result.written += piece.size();
      held.Handed(result.written);
    }
    return true;
  }

  LineStatus Status() override {
    LineStatus status;
    // What the server sends (flow control, the modem lines) is read at every look.
    if (!Pump()) {
      status.error = failure_.error;
      status.reason = failure_.reason.empty() ? std::string(kClosed) : failure_.reason;
      return status;
    }
    status.queued = socket_->Unacknowledged();
    status.cts = client_.Cts();
    status.hold = client_.Suspended() ? Hold::Suspended : Hold::Unknown;
    return status;
  }

  // What the server does with the bytes is its own: they have left once it acknowledged them.
  DeviceDrain DrainDevice(std::chrono::milliseconds, WriteResult&) override {
    return DeviceDrain::Done;
  }

  std::size_t Step() const override { return 0; }

  void DiscardOutput() override {
    if (rfc2217_ && !failed_) {
      const std::vector<std::byte> purge = rfc2217::Client::PurgeTransmit();
      [[maybe_unused]] const os::Transfer sent = socket_->Send(purge);  // if it can, at once
    }
  }

  // What the server sends is read anyway, and dropped unless it is heard.
  void DiscardInput() override {}

  bool ReadInput(ReadResult& result) override {
    const bool alive = Pump();
    if (client_.MalformedCount() > 0 && !malformedSaid_) {
      malformedSaid_ = true;
      result.notice = "the server sent what is not telnet (" + client_.Malformed() + "); ignored";
    }
    if (client_.Overrun() && !overrunSaid_) {
      overrunSaid_ = true;
      result.notice = "the server lost bytes the device sent (an overrun)";
    }
    if (!alive) {
      result.error = failure_.error;
      result.reason = failure_.reason;
      result.gone = true;
    }
    return alive;
  }

  // Read at every look of a drain: the server's replies, and the device's bytes as they come.
  const Listen* Listening() const override { return &listen_; }

  // The opening is over: from now on the device's bytes go to `heard`, or nowhere.
  void Opened(std::function<void(std::span<const std::byte>)> heard) {
    opened_ = true;
    kept_.clear();
    heard_ = std::move(heard);
  }

 private:
  enum class Until { Done, Time, Ended, Stopped };

  // Reads what the server sends until `enough` says so, or `deadline` passes.
  Until ReadUntil(const std::function<bool()>& enough, os::Clock::time_point deadline) {
    const std::array<os::Waited, 2> waited{
        {socket_->ForReading(), {.handle = cancel_, .ready = os::Waited::For::Reading}}};
    for (;;) {
      if (enough()) {
        return Until::Done;
      }
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

  // Sends `bytes` whole, waiting while the connection takes nothing or the server asked to wait,
  // and reading what it sends meanwhile. False when the connection ended or a stop came.
  bool SendAll(std::span<const std::byte> bytes, WriteResult& result, HeldLine* held) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      if (failed_) {
        Lost(result);
        return false;
      }
      if (!client_.Suspended()) {
        const os::Transfer transfer = socket_->Send(bytes.subspan(sent));
        if (transfer.error != 0) {
          Fail(transfer.error, "");
          continue;
        }
        if (transfer.count > 0) {
          sent += transfer.count;
          if (held != nullptr) {
            held->Moved();
          }
          continue;
        }
      }
      // Room, what the server says, or a stop; and a look at a held line now and then.
      const std::array<os::Waited, 3> waited{
          {client_.Suspended() ? os::Waited{} : socket_->ForWriting(),
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
      if (ready != 0U && !Pump()) {
        continue;  // failed_: said at the top
      }
      if (!ready && held != nullptr) {
        held->Check([this] { return Status(); });
      }
    }
    return true;
  }

  // Reads all the server has sent: telnet answered, the device's bytes kept. False once the
  // connection has ended.
  bool Pump() {
    if (failed_) {
      return false;
    }
    std::array<std::byte, 4096> buffer{};
    for (;;) {
      const os::Transfer transfer = socket_->Receive(buffer);
      if (transfer.count == 0) {
        if (transfer.closed || transfer.error != 0) {
          Fail(transfer.error, transfer.closed ? kClosed : "");
          return false;
        }
        return true;
      }
      received_ += transfer.count;
      const std::span<const std::byte> got = std::span(buffer).first(transfer.count);
      if (!rfc2217_) {
        Keep(got);
        continue;
      }
      std::vector<std::byte> data;
      std::vector<std::byte> reply;
      client_.Take(got, data, reply);
      Keep(data);
      if (listening_) {
        unsaid_.insert(unsaid_.end(), reply.begin(), reply.end());  // bounded: each asked once
      } else if (!reply.empty()) {
        // A few bytes of telnet now and then: they go at once, or not at all.
        [[maybe_unused]] const os::Transfer answered = socket_->Send(reply);
      }
    }
  }

  // The device's bytes, for the capture as they come; dropped when nobody captures them. During
  // the opening a few are kept, to say what a server that refuses a client says.
  void Keep(std::span<const std::byte> data) {
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

  void Fail(int error, const std::string& reason) {
    failed_ = true;
    failure_.error = error;
    failure_.reason = reason;
    failure_.gone = true;
  }

  void Lost(WriteResult& result) const {
    result.error = failure_.error;
    result.reason = failure_.reason;
    result.gone = true;
  }

  // The opening ended with the connection: why, with what the server said before it closed.
  os::Outcome Ended(const WriteResult& ended) {
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
      return os::Outcome::Failed(kClosed + ": \"" + words + "\"", ended.error);
    }
    return os::Outcome::Failed(Reason(ended.error, ended.reason), ended.error);
  }

  static std::string Names(const std::vector<Setting>& settings) {
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

  friend OpenedPort serial::OpenNetworkPort(const NetworkAddress&, const PortOptions&,
                                            os::WakeHandle, os::WakeHandle);

  std::unique_ptr<os::Socket> socket_;
  bool rfc2217_;
  os::WakeHandle cancel_;
  rfc2217::Client client_;
  bool failed_ = false;
  WriteResult failure_;
  PortProblem problem_ = PortProblem::Other;
  Listen listen_;
  std::vector<std::byte> kept_;
  std::function<void(std::span<const std::byte>)> heard_;
  bool opened_ = false;
  bool listening_ = false;         // the server speaks first: the client's answers wait
  std::vector<std::byte> unsaid_;  // those answers
  std::size_t received_ = 0;       // bytes the server has sent
  bool malformedSaid_ = false;
  bool overrunSaid_ = false;
};

}  // namespace

OpenedPort OpenNetworkPort(const NetworkAddress& address, const PortOptions& options,
                           os::WakeHandle cancel, os::WakeHandle input) {
  os::Outcome failure;
  std::unique_ptr<os::Socket> socket =
      os::Socket::Connect(address.host, address.port, kConnectWithin, cancel, input, failure);
  if (!socket) {
    return OpenedPort::Refused(PortProblem::Network,
                               os::Outcome::Failed("cannot connect to " + address.host + " port " +
                                                       address.port + ": " + failure.Why(),
                                                   failure.Error()));
  }
  auto port = std::make_unique<NetworkPort>(std::move(socket), address.rfc2217, cancel);
  std::string mismatch;
  std::string note;
  const os::Outcome ready =
      address.rfc2217 ? port->Negotiate(options.line, mismatch, note) : port->Greeted();
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

OpenedPort OpenPort(const PortOptions& options, os::WakeHandle cancel, os::WakeHandle input) {
  if (const std::optional<NetworkAddress> address = NetworkPortOf(options.device)) {
    return OpenNetworkPort(*address, options, cancel, input);
  }
  return OpenNativePort(options, cancel, input);
}

}  // namespace serial
