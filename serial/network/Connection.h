#pragma once

// The port on the network from inside (serial/network/NetworkPort.h says what it is): one
// connection, its outgoing queue and its telnet client. NetworkPort.cpp carries the bytes both
// ways; Opening.cpp opens the port (the server heard first, the line negotiated).

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "os/Socket.h"
#include "os/Wait.h"
#include "serial/NativePort.h"
#include "serial/network/Outgoing.h"
#include "serial/network/Rfc2217.h"

namespace serial::network {

using namespace std::chrono_literals;

inline constexpr auto kConnectWithin = 3s;
inline constexpr auto kAcknowledgedWithin = 3s;
// DTR, RTS and the purge, which many servers never acknowledge, are waited for this much longer.
inline constexpr auto kMoreAcknowledgements = 250ms;
// A server that refuses a client (ser2net, to a second one) greets it, says why and closes the
// connection at once. Had the client said a word meanwhile, the server would reset the
// connection instead, and Windows then drops what it said; so the server speaks first, until it
// has been quiet this long, and this long at most.
inline constexpr auto kQuietFor = 100ms;
inline constexpr auto kGreetedWithin = 500ms;
// What a server says before it closes a connection it refuses is kept up to this much.
inline constexpr std::size_t kKeptAtMost = 4096;
// The device's bytes go out this many at a time, so that a held send's count moves as they do.
inline constexpr std::size_t kPiece = 1024;

inline constexpr const char* kClosed = "the server closed the connection";

class NetworkPort final : public NativePort {
 public:
  NetworkPort(std::unique_ptr<os::Socket> socket, bool rfc2217, os::WakeHandle cancel);
  // What is queued of telnet's words (a purge after a stop) goes if the connection takes it now.
  ~NetworkPort() override;
  NetworkPort(const NetworkPort&) = delete;
  NetworkPort& operator=(const NetworkPort&) = delete;

  // RFC 2217: offers the options and sends the line, then waits for the server to acknowledge
  // it. `mismatch`: what it took otherwise; `note`: what it did not acknowledge that many servers
  // never do.
  os::Outcome Negotiate(const LineSettings& line, std::string& mismatch, std::string& note);

  // Reads what the server says as a client connects, saying nothing, until it is quiet: a
  // server that refuses the client is then heard whole.
  os::Outcome Greeted();

  // The opening is over: from now on the device's bytes go to `heard`, or nowhere.
  void Opened(std::function<void(std::span<const std::byte>)> heard);

  PortProblem Problem() const { return problem_; }

  // The device's bytes go into the one outgoing queue a piece at a time, behind whatever telnet
  // is still to say, and out as the connection takes them: the count moves as the bytes go whole.
  bool WriteAll(std::span<const std::byte> bytes, WriteResult& result, HeldLine& held) override;

  // What the server sends (flow control, the modem lines) is read at every look.
  LineStatus Status() override;

  // What the server does with the bytes is its own: they have left once it acknowledged them.
  DeviceDrain DrainDevice(std::chrono::milliseconds, WriteResult&) override {
    return DeviceDrain::Done;
  }

  std::size_t Step() const override { return 0; }

  // The device's bytes not yet sent are thrown away (but for what finishes a doubled 0xFF), and
  // with RFC 2217 the server is asked to throw away what it still holds of them: that request
  // waits its turn in the queue behind what telnet still has to say, and goes as soon as the
  // connection takes it.
  void DiscardOutput() override;

  // What the server sends is read anyway, and dropped unless it is heard.
  void DiscardInput() override {}

  bool ReadInput(ReadResult& result) override;

  // Read at every look of a drain: the server's replies, and the device's bytes as they come.
  // None once the connection has ended.
  const Listen* Listening() const override { return socket_ ? &listen_ : nullptr; }

 private:
  enum class Until { Done, Time, Ended, Stopped };

  // Reads what the server sends until `enough` says so, or `deadline` passes.
  Until ReadUntil(const std::function<bool()>& enough, os::Clock::time_point deadline);

  // Sends all that is queued, until `deadline`. False when the connection ended or a stop came.
  bool SendQueued(WriteResult& result, os::Clock::time_point deadline);

  // One step of a send: what the connection takes now of what is queued, or else a wait for
  // room, for what the server says, or for a stop, with a look at a held line now and then.
  // False when the connection ended or a stop came.
  bool Step(WriteResult& result, HeldLine* held);

  // Whether the server has acknowledged nothing of what is on its way to it for kUnanswered: it
  // vanished (power, a cable), and the connection is given up.
  bool Vanished();

  // Sends what the connection takes now of what is queued, without waiting. Nothing while the
  // server speaks first.
  void Flush();

  // Reads all the server has sent: telnet answered (in the queue, in turn), the device's bytes
  // kept. False once the connection has ended.
  bool Pump();

  // The device's bytes, for the capture as they come; dropped when nobody captures them. During
  // the opening a few are kept, to say what a server that refuses a client says.
  void Keep(std::span<const std::byte> data);

  // The connection ended: it is closed at once, so that nothing waits for it or hears from it
  // again (a failed socket stays readable, and a wait on it would end at once, for ever), and a
  // server that serves one client may take the next. The port says why from now on.
  void Fail(int error, const std::string& reason);

  void Lost(WriteResult& result) const;

  // The opening ended with the connection: why, with what the server said before it closed.
  os::Outcome Ended(const WriteResult& ended);

  // "speed, data size and parity".
  static std::string Names(const std::vector<rfc2217::Setting>& settings);

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

}  // namespace serial::network
