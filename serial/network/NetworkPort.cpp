#include "serial/network/NetworkPort.h"

#include <algorithm>
#include <array>
#include <functional>
#include <utility>
#include <vector>

#include "serial/network/Outgoing.h"
#include "serial/network/Rfc2217.h"

namespace serial {
namespace {

using network::Outgoing;

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

  // What is queued of telnet's words (a purge after a stop) goes if the connection takes it now.
  ~NetworkPort() override { Flush(); }

  NetworkPort(const NetworkPort&) = delete;
  NetworkPort& operator=(const NetworkPort&) = delete;

  // RFC 2217: offers the options and sends the line, then waits for the server to acknowledge
  // it. `mismatch`: what it took otherwise; `note`: what it did not acknowledge that many servers
  // never do.
  os::Outcome Negotiate(const LineSettings& line, std::string& mismatch, std::string& note) {
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

  // The device's bytes go into the one outgoing queue a piece at a time, behind whatever telnet
  // is still to say, and out as the connection takes them: the count moves as the bytes go whole.
  bool WriteAll(std::span<const std::byte> bytes, WriteResult& result, HeldLine& held) override {
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

  LineStatus Status() override {
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

  // What the server does with the bytes is its own: they have left once it acknowledged them.
  DeviceDrain DrainDevice(std::chrono::milliseconds, WriteResult&) override {
    return DeviceDrain::Done;
  }

  std::size_t Step() const override { return 0; }

  // The device's bytes not yet sent are thrown away (but for what finishes a doubled 0xFF), and
  // with RFC 2217 the server is asked to throw away what it still holds of them: that request
  // waits its turn in the queue behind what telnet still has to say, and goes as soon as the
  // connection takes it.
  void DiscardOutput() override {
    out_.DropData();
    if (rfc2217_) {
      out_.Command(rfc2217::Client::PurgeTransmit());
    }
    Flush();
  }

  // What the server sends is read anyway, and dropped unless it is heard.
  void DiscardInput() override {}

  bool ReadInput(ReadResult& result) override {
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

  // Read at every look of a drain: the server's replies, and the device's bytes as they come.
  // None once the connection has ended.
  const Listen* Listening() const override { return socket_ ? &listen_ : nullptr; }

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

  // Sends all that is queued, until `deadline`. False when the connection ended or a stop came.
  bool SendQueued(WriteResult& result, os::Clock::time_point deadline) {
    while (!out_.Empty() && os::Clock::now() < deadline) {
      if (!Step(result, nullptr)) {
        return false;
      }
    }
    return true;
  }

  // One step of a send: what the connection takes now of what is queued, or else a wait for
  // room, for what the server says, or for a stop, with a look at a held line now and then.
  // False when the connection ended or a stop came.
  bool Step(WriteResult& result, HeldLine* held) {
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
    const std::array<os::Waited, 3> waited{
        {next.empty() ? os::Waited{} : socket_->ForWriting(),
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

  // Whether the server has acknowledged nothing of what is on its way to it for kUnanswered: it
  // vanished (power, a cable), and the connection is given up.
  bool Vanished() {
    if (const auto silent = socket_->Unanswered(); silent && *silent >= os::kUnanswered) {
      Fail(0, "the server has acknowledged nothing for " + std::to_string(os::kUnanswered.count()) +
                  " s");
      return true;
    }
    return false;
  }

  // Sends what the connection takes now of what is queued, without waiting. Nothing while the
  // server speaks first.
  void Flush() {
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

  // Reads all the server has sent: telnet answered (in the queue, in turn), the device's bytes
  // kept. False once the connection has ended.
  bool Pump() {
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

  // The connection ended: it is closed at once, so that nothing waits for it or hears from it
  // again (a failed socket stays readable, and a wait on it would end at once, for ever), and a
  // server that serves one client may take the next. The port says why from now on.
  void Fail(int error, const std::string& reason) {
    failure_.error = error;
    failure_.reason = reason;
    failure_.gone = true;
    socket_.reset();
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

  std::unique_ptr<os::Socket> socket_;
  bool rfc2217_;
  os::WakeHandle cancel_;
  rfc2217::Client client_;
  Outgoing out_;
  WriteResult failure_;
  PortProblem problem_ = PortProblem::Other;
  Listen listen_;
  std::vector<std::byte> kept_;
  std::function<void(std::span<const std::byte>)> heard_;
  bool opened_ = false;
  bool listening_ = false;    // the server speaks first: the client's answers wait in the queue
  std::size_t received_ = 0;  // bytes the server has sent
  bool malformedSaid_ = false;
  bool overrunSaid_ = false;
};

}  // namespace

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
  std::unique_ptr<os::Socket> socket =
      os::Socket::Connect(address.host, address.port, kConnectWithin, cancel, input, failure);
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
