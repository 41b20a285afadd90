// A port on the network through a stand-in connection (tests/Support.h): the opening, the one
// outgoing queue (sends cut at every point, telnet's words between whole escapes, a purge that
// waits its turn), and a connection that fails.

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "os/Error.h"
#include "serial/Port.h"
#include "serial/SerialLink.h"
#include "serial/network/NetworkPort.h"
#include "serial/network/Outgoing.h"
#include "tests/Support.h"

namespace {

using namespace std::chrono_literals;
using testing_support::AsBytes;
using testing_support::StandInServer;

std::vector<std::byte> Bytes(std::initializer_list<int> values) {
  std::vector<std::byte> bytes;
  for (const int value : values) {
    bytes.push_back(static_cast<std::byte>(value));
  }
  return bytes;
}

const std::vector<std::byte> kDoTimingMark = Bytes({255, 253, 6});
const std::vector<std::byte> kWontTimingMark = Bytes({255, 252, 6});
const std::vector<std::byte> kPurgeTransmit = Bytes({255, 250, 44, 12, 2, 255, 240});

serial::OpenedPort Open(StandInServer& server, bool rfc2217,
                        const serial::PortOptions& options = {}, os::WakeHandle cancel = {}) {
  return serial::OpenNetworkPortOver(server.Connection(), rfc2217, options, cancel);
}

// `size` bytes, every seventh 0xFF, two of them side by side now and then.
std::string WithEscapes(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = i % 7 == 0 || i % 61 == 1 ? '\xff' : static_cast<char>('a' + i % 26);
  }
  return bytes;
}

TEST(OutgoingTest, TelnetWaitsForWholeEscapesAndTheDevicesBytesCountWhenWhole) {
  serial::network::Outgoing out;
  out.Data(AsBytes(std::string("\xff"
                               "a\xff",
                               3)),
           true);
  EXPECT_EQ(out.DataQueued(), 3U);
  EXPECT_EQ(out.Next().size(), 5U);  // FF FF a FF FF
  EXPECT_EQ(out.Took(1), 0U);        // half of a doubled 0xFF is none of the device's bytes
  // Held (the server asked to wait): only the other half of what was begun.
  EXPECT_EQ(out.Next(false).size(), 1U);
  EXPECT_EQ(out.Took(1), 1U);
  EXPECT_TRUE(out.Next(false).empty());
  // A word of telnet goes behind what is queued, never inside it.
  out.Command(kWontTimingMark);
  EXPECT_EQ(out.Took(2), 1U);  // "a" and half of the last 0xFF
  out.DropData();              // a stop: what finishes the escape stays, and the word
  EXPECT_EQ(out.Next().size(), 1U);
  EXPECT_EQ(out.DataQueued(), 1U);
  EXPECT_EQ(out.Took(1), 1U);
  EXPECT_EQ(std::vector<std::byte>(out.Next().begin(), out.Next().end()), kWontTimingMark);
  EXPECT_EQ(out.Took(3), 0U);
  EXPECT_TRUE(out.Empty());
  EXPECT_EQ(out.DataSent(), 3U);

  // Raw bytes are the device's as they are; data not begun is dropped whole.
  serial::network::Outgoing raw;
  raw.Data(AsBytes(std::string("\xff\xff", 2)), false);
  raw.Data(AsBytes(std::string("later")), false);
  EXPECT_EQ(raw.Took(1), 1U);
  raw.DropData();  // no escape to finish
  EXPECT_TRUE(raw.Empty());
  EXPECT_EQ(raw.DataSent(), 1U);
}

// A server that refuses a client (ser2net, to a second one) greets it, says why and closes: the
// client says nothing until it has been heard, so the refusal is heard whole, on either kind of
// port.
TEST(NetworkPortTest, TheServerSpeaksFirstAndARefusalIsHeardWhole) {
  for (const bool rfc2217 : {false, true}) {
    StandInServer server;
    server.Say(Bytes({255, 251, 1, 255, 251, 3}));  // WILL ECHO, WILL SUPPRESS-GO-AHEAD
    server.Say("Port already in use\r\n");
    server.Close();
    const serial::OpenedPort opened = Open(server, rfc2217);
    EXPECT_EQ(opened.port, nullptr);
    EXPECT_EQ(opened.failure.Why(), "the server closed the connection: \"Port already in use\"");
    EXPECT_EQ(opened.problem, serial::PortProblem::Busy);
    EXPECT_TRUE(server.wire.empty()) << "the client spoke before the server was heard";
  }
}

TEST(NetworkPortTest, TheLineIsAcknowledgedAndWhatWasNotAskedIsNotAwaited) {
  StandInServer server;
  server.answers = true;
  const serial::OpenedPort opened = Open(server, true);
  ASSERT_NE(opened.port, nullptr) << opened.failure.Why();
  EXPECT_EQ(opened.mismatch, "");
  EXPECT_EQ(opened.note, "");

  // Under RTS/CTS the server drives RTS itself: RTS is neither asked nor awaited, and the flow
  // control's acknowledgement is taken.
  StandInServer flow;
  flow.answers = true;
  serial::PortOptions options;
  options.line.ctsRtsFlow = true;
  options.line.rts = true;
  const serial::OpenedPort handshaking = Open(flow, true, options);
  ASSERT_NE(handshaking.port, nullptr) << handshaking.failure.Why();
  EXPECT_EQ(handshaking.mismatch, "");
  EXPECT_EQ(handshaking.note, "");
  for (const auto& word : flow.words) {
    EXPECT_FALSE(word.size() > 4 && word[3] == std::byte{5} &&
                 (word[4] == std::byte{11} || word[4] == std::byte{12}))
        << "RTS asked for";
  }

  // What the server says once the port is open: an overrun and a malformed reply, in one look,
  // are both said.
  server.Say(Bytes({255, 250, 44, 106, 2, 255, 240, 255, 250, 44, 101, 0, 37, 255, 240}));
  serial::ReadResult heard;
  EXPECT_TRUE(opened.port->ReadInput(heard));
  EXPECT_EQ(heard.notices, (std::vector<std::string>{
                               "the server sent what is not telnet (a speed of 2 bytes); ignored",
                               "the server lost bytes the device sent (an overrun)"}));

  // One that never acknowledges the purge: said, and no failure.
  StandInServer partial;
  partial.answers = true;
  partial.unacknowledged = {12};
  const serial::OpenedPort noted = Open(partial, true);
  ASSERT_NE(noted.port, nullptr);
  EXPECT_EQ(noted.note,
            "the server did not acknowledge the purge (many never do): they are as it keeps them");
}

// Wherever the connection cuts a send, and whenever the server asks something meanwhile, the
// device gets every byte once and in order, and telnet's answers stand between whole escapes.
TEST(NetworkPortTest, EveryByteArrivesWholeWhereverTheConnectionCutsASend) {
  const std::string file = WithEscapes(3000);  // three pieces and more
  std::vector<std::vector<std::size_t>> cuts;
  for (std::size_t cut = 1; cut <= 9; ++cut) {
    cuts.push_back({cut});
  }
  cuts.push_back({1023, 1024, 1025});
  cuts.push_back({5, 1, 4096, 2, 3});
  for (const std::vector<std::size_t>& takes : cuts) {
    SCOPED_TRACE("each send takes " + std::to_string(takes[0]) + (takes.size() > 1 ? ", ..." : ""));
    StandInServer server;
    server.answers = true;
    server.takes = takes;
    serial::OpenedPort opened = Open(server, true);
    ASSERT_NE(opened.port, nullptr) << opened.failure.Why();
    server.cues = {{.at = 500, .say = kDoTimingMark}, {.at = 1501, .say = kDoTimingMark}};
    serial::Port port("rfc2217://bench:2000", std::move(opened.port), os::WakeHandle(), {});
    const serial::WriteResult result = port.Write(AsBytes(file), "check1.txt");
    EXPECT_FALSE(result.Failed());
    EXPECT_EQ(result.written, file.size());
    EXPECT_EQ(server.data, file);
    EXPECT_FALSE(server.garbled);
    EXPECT_EQ(std::count(server.words.begin(), server.words.end(), kWontTimingMark), 2);
  }
}

// A server that stops reading holds the line; a stop then throws away what is queued but for
// the end of an escape begun, and the purge, queued behind it, goes once the connection takes it.
TEST(NetworkPortTest, AStopLeavesNoHalfEscapeAndThePurgeWaitsItsTurn) {
  StandInServer server;
  server.answers = true;
  os::WakeEvent stop;
  serial::OpenedPort opened = Open(server, true, {}, stop.Handle());
  ASSERT_NE(opened.port, nullptr);
  server.takes = {7};
  server.cues = {{.at = 300, .stopReading = true}};
  std::string said;
  serial::PortOptions options;
  options.heldAfter = 30ms;
  serial::Port port("rfc2217://bench:2000", std::move(opened.port), stop.Handle(), options,
                    [&](const std::string& line, bool held) {
                      if (held) {
                        said = line;
                        stop.Raise();
                      }
                    });
  const std::string file = WithEscapes(2000);
  const serial::WriteResult result = port.Write(AsBytes(file), "check2.txt");
  EXPECT_TRUE(result.cancelled);
  EXPECT_GE(result.written, 300U);
  EXPECT_TRUE(
      said.starts_with("Port \"rfc2217://bench:2000\" has taken no bytes for 30 ms: "
                       "check2.txt, "))
      << said;
  const std::size_t before = server.wire.size();
  server.Reading(true);
  serial::ReadResult read;
  EXPECT_TRUE(port.ReadInput(read));  // a look: what waits goes
  EXPECT_GT(server.wire.size(), before);
  ASSERT_FALSE(server.words.empty());
  EXPECT_EQ(server.words.back(), kPurgeTransmit);
  EXPECT_FALSE(server.garbled);
  EXPECT_EQ(server.data, file.substr(0, server.data.size()));
  EXPECT_EQ(server.data.size(), result.written);
}

// A connection that fails (a reset mid-send, a close between ticks) is closed at once, so that
// nothing waits on it again, and said once.
TEST(NetworkPortTest, AFailedConnectionIsClosedAtOnceAndSaidOnce) {
  constexpr int kReset = 104;
  StandInServer server;
  server.telnet = false;
  serial::SerialLink link(
      [&server](const serial::PortOptions& options, os::WakeHandle cancel, os::WakeHandle) {
        return serial::OpenNetworkPortOver(server.Connection(), false, options, cancel);
      });
  ASSERT_EQ(link.Open({.device = "socket://bench:4001"}).Why(), "");
  server.takes = {100};
  server.cues = {{.at = 400, .reset = kReset}};
  const serial::WriteResult result = link.PortHandle()->Write(AsBytes(WithEscapes(1000)));
  EXPECT_EQ(result.error, kReset);
  EXPECT_TRUE(result.gone);
  EXPECT_EQ(result.written, 400U);
  EXPECT_TRUE(server.closedByClient);
  const serial::Heard heard = link.TakeInput();
  EXPECT_EQ(heard.lost, "Port \"socket://bench:4001\" lost: " + os::ErrorText(kReset) +
                            "; --reconnect would reopen it when it comes back");
  EXPECT_EQ(link.TakeInput().lost, "");  // said once

  // Closed by the server between ticks: heard, and the same.
  StandInServer closing;
  closing.telnet = false;
  serial::SerialLink other(
      [&closing](const serial::PortOptions& options, os::WakeHandle cancel, os::WakeHandle) {
        return serial::OpenNetworkPortOver(closing.Connection(), false, options, cancel);
      });
  ASSERT_EQ(other.Open({.device = "socket://bench:4001", .reconnect = true}).Why(), "");
  closing.Close();
  EXPECT_EQ(
      other.TakeInput().lost,
      "Port \"socket://bench:4001\" lost: the server closed the connection; reopening when it "
      "comes back");
  EXPECT_TRUE(closing.closedByClient);
  EXPECT_EQ(other.PortHandle(), nullptr);
}

}  // namespace
