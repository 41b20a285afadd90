// RFC 2217 from the client's side as pure code: what it sends, and what it makes of what a
// server sends, hostile servers included.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "serial/network/Rfc2217.h"

namespace {

using serial::rfc2217::Client;
using serial::rfc2217::Setting;

std::vector<std::byte> Bytes(std::initializer_list<int> values) {
  std::vector<std::byte> bytes;
  for (const int value : values) {
    bytes.push_back(static_cast<std::byte>(value));
  }
  return bytes;
}

std::vector<std::byte> Bytes(const std::string& text) {
  std::vector<std::byte> bytes;
  for (const char letter : text) {
    bytes.push_back(static_cast<std::byte>(letter));
  }
  return bytes;
}

// What `client` makes of `from` the server: the device's bytes, and its answer.
struct Taken {
  std::vector<std::byte> data;
  std::vector<std::byte> reply;
};
Taken Take(Client& client, const std::vector<std::byte>& from) {
  Taken taken;
  client.Take(from, taken.data, taken.reply);
  return taken;
}

// The server's answer to command `command`: IAC SB 44 command+100 value IAC SE.
std::vector<std::byte> Reply(int command, std::initializer_list<int> value) {
  std::vector<std::byte> bytes = Bytes({255, 250, 44, command + 100});
  for (const int byte : value) {
    bytes.push_back(static_cast<std::byte>(byte));
  }
  bytes.push_back(std::byte{255});
  bytes.push_back(std::byte{240});
  return bytes;
}

TEST(Rfc2217Test, TheOpeningAsksForBinaryAndTheLineAndAPurge) {
  Client client;
  serial::LineSettings line = serial::PortSettings;
  EXPECT_EQ(client.Start(line),
            Bytes({255, 251, 0, 255, 253, 0, 255, 251, 3, 255, 253, 3, 255, 251, 44,
                   // 9600, 8 data bits, no parity, one stop bit, no flow control, DTR and RTS off
                   255, 250, 44, 1, 0, 0, 37, 128, 255, 240, 255, 250, 44, 2, 8, 255, 240, 255, 250,
                   44, 3, 1, 255, 240, 255, 250, 44, 4, 1, 255, 240, 255, 250, 44, 5, 1, 255, 240,
                   255, 250, 44, 5, 9, 255, 240, 255, 250, 44, 5, 12, 255, 240,
                   // both of the server's buffers purged
                   255, 250, 44, 12, 3, 255, 240}));
  // A speed with 0xFF in it has it doubled; RTS/CTS asks to be told of CTS and leaves RTS alone.
  // The options already asked for are not asked again.
  line.baudRate = 0x0001C2FF;
  line.ctsRtsFlow = true;
  const std::vector<std::byte> other = client.Start(line);
  const auto has = [&other](const std::vector<std::byte>& part) {
    return std::search(other.begin(), other.end(), part.begin(), part.end()) != other.end();
  };
  EXPECT_TRUE(has(Bytes({255, 250, 44, 1, 0, 1, 0xC2, 255, 255, 255, 240})));
  EXPECT_TRUE(has(Bytes({255, 250, 44, 11, 0x10, 255, 240})));
  EXPECT_FALSE(has(Bytes({255, 250, 44, 5, 12})));
  EXPECT_FALSE(has(Bytes({255, 251, 0})));
}

// RFC 2217's numbers for parity (SET-PARITY) and flow control (SET-CONTROL), each asked as the
// line says: a swap would give the device the wrong line and, since the server echoes what it
// was asked, nobody would say so.
TEST(Rfc2217Test, EachParityAndFlowControlIsAskedByItsOwnNumber) {
  const auto asked = [](const serial::LineSettings& line, int command) {
    const std::vector<std::byte> opening = Client().Start(line);
    const std::vector<std::byte> head = Bytes({255, 250, 44, command});
    const auto at = std::search(opening.begin(), opening.end(), head.begin(), head.end());
    return at == opening.end() ? -1 : std::to_integer<int>(*(at + 4));
  };
  serial::LineSettings line = serial::PortSettings;
  for (const auto& [parity, number] :
       {std::pair{serial::Parity::None, 1}, std::pair{serial::Parity::Odd, 2},
        std::pair{serial::Parity::Even, 3}, std::pair{serial::Parity::Mark, 4},
        std::pair{serial::Parity::Space, 5}}) {
    line.parity = parity;
    EXPECT_EQ(asked(line, 3), number);
  }
  line = serial::PortSettings;
  EXPECT_EQ(asked(line, 5), 1);
  line.xonXoffOutput = true;
  EXPECT_EQ(asked(line, 5), 2);
  line.xonXoffOutput = false;
  line.ctsRtsFlow = true;
  EXPECT_EQ(asked(line, 5), 3);

  // Each acknowledgement of flow control is taken as the value it names.
  for (const int value : {1, 2, 3}) {
    Client client;
    Take(client, Reply(5, {value}));
    EXPECT_EQ(client.Acknowledged(Setting::FlowControl), static_cast<std::uint32_t>(value));
    EXPECT_FALSE(client.Acknowledged(Setting::Rts));
  }
}

TEST(Rfc2217Test, EveryByteValueCrossesBothWaysWhereverTheServersPiecesEnd) {
  std::vector<std::byte> every;
  for (int value = 0; value < 256; ++value) {
    every.push_back(static_cast<std::byte>(value));
  }
  std::vector<std::byte> wire;
  Client::Escape(every, wire);
  EXPECT_EQ(wire.size(), 257U);  // 0xFF doubled, CR and NUL as they are
  // Back, one byte at a time, so that a doubled IAC is split between two reads.
  Client client;
  std::vector<std::byte> data;
  std::vector<std::byte> reply;
  for (const std::byte byte : wire) {
    client.Take(std::span(&byte, 1), data, reply);
  }
  EXPECT_EQ(data, every);
  EXPECT_TRUE(reply.empty());
}

TEST(Rfc2217Test, AcknowledgementsFlowControlAndCtsAreReadAndWhatDiffersIsNamed) {
  Client client;
  std::vector<std::byte> from = Bytes({255, 253, 44});  // DO COM-PORT-OPTION
  for (const auto& reply : {Reply(1, {0, 1, 0xC2, 0}), Reply(2, {7}), Reply(3, {2}), Reply(4, {1}),
                            Reply(5, {1}), Reply(5, {9}), Reply(12, {3})}) {
    from.insert(from.end(), reply.begin(), reply.end());
  }
  EXPECT_TRUE(Take(client, from).data.empty());
  EXPECT_TRUE(client.ComPort());
  EXPECT_EQ(client.Acknowledged(Setting::BaudRate), 115200U);
  EXPECT_EQ(client.Acknowledged(Setting::Dtr), 9U);
  EXPECT_EQ(client.Acknowledged(Setting::Purge), 3U);
  EXPECT_FALSE(client.Acknowledged(Setting::Rts));
  EXPECT_EQ(client.Mismatch(serial::PortSettings),
            "speed 115200 (wanted 9600), data size 7 (wanted 8), parity ODD (wanted NONE)");

  // The server asks to wait, tells CTS, and lets go again; between them, the device's bytes.
  EXPECT_FALSE(client.Suspended());
  std::vector<std::byte> talk = Reply(8, {});
  const auto cts = Reply(7, {0x00});
  talk.insert(talk.end(), cts.begin(), cts.end());
  talk.push_back(std::byte{'o'});
  talk.push_back(std::byte{'k'});
  EXPECT_EQ(Take(client, talk).data, Bytes("ok"));
  EXPECT_TRUE(client.Suspended());
  EXPECT_EQ(client.Cts(), false);
  Take(client, Reply(9, {}));
  EXPECT_FALSE(client.Suspended());
  Take(client, Reply(7, {0x10}));
  EXPECT_EQ(client.Cts(), true);
  Take(client, Reply(6, {0x02}));
  EXPECT_TRUE(client.Overrun());
}

// RFC 1143's Q method: each request is answered from the option's state, so what is not wanted is
// refused every time it is asked (a keep-alive of DO TIMING-MARK gets its WONT each time), what
// answers our own request is not answered again, and what is wanted is agreed to once.
TEST(Rfc2217Test, EveryRequestIsAnsweredByTheOptionsStateAndNoAnswerIsAnswered) {
  Client client;
  // DO TERMINAL-TYPE, WILL ECHO, DO TIMING-MARK: refused, and refused again when asked again.
  const Taken first = Take(client, Bytes({255, 253, 24, 255, 251, 1, 255, 253, 6}));
  EXPECT_EQ(first.reply, Bytes({255, 252, 24, 255, 254, 1, 255, 252, 6}));
  EXPECT_EQ(Take(client, Bytes({255, 253, 6, 255, 253, 6})).reply,
            Bytes({255, 252, 6, 255, 252, 6}));
  EXPECT_TRUE(Take(client, Bytes({255, 254, 6, 255, 252, 1})).reply.empty());  // already off

  // The server offers BINARY before it was asked: agreed to, once, and not asked for again.
  Client early;
  EXPECT_EQ(Take(early, Bytes({255, 251, 0, 255, 253, 0})).reply,
            Bytes({255, 253, 0, 255, 251, 0}));
  EXPECT_TRUE(Take(early, Bytes({255, 251, 0})).reply.empty());
  const std::vector<std::byte> opening = early.Start(serial::PortSettings);
  EXPECT_EQ(std::vector<std::byte>(opening.begin(), opening.begin() + 9),
            Bytes({255, 251, 3, 255, 253, 3, 255, 251, 44}));

  // Asked for in the opening: the server's agreement is no request, and needs no answer.
  Client asked;
  [[maybe_unused]] const auto start = asked.Start(serial::PortSettings);
  EXPECT_TRUE(Take(asked, Bytes({255, 251, 0, 255, 253, 0, 255, 253, 44})).reply.empty());
  EXPECT_TRUE(asked.ComPort());
  // Turned off later: agreed to (once), and said when it is BINARY.
  EXPECT_EQ(Take(asked, Bytes({255, 252, 0, 255, 252, 0})).reply, Bytes({255, 254, 0}));
  EXPECT_EQ(asked.Refusal(), "it does not send binary data (BINARY refused)");

  // A refusal of the option itself is said.
  Client refused;
  [[maybe_unused]] const auto opened = refused.Start(serial::PortSettings);
  EXPECT_TRUE(Take(refused, Bytes({255, 254, 44})).reply.empty());  // DONT COM-PORT-OPTION
  EXPECT_FALSE(refused.ComPort());
  EXPECT_EQ(refused.Refusal(), "it does not take RFC 2217 (COM-PORT-OPTION refused)");
}

TEST(Rfc2217Test, AHostileServerCostsNoMoreThanItsBytesAndIsSaidOnce) {
  // A subnegotiation that never ends: everything after it is taken into it, and none of it is
  // kept past its first bytes; it ends at last, and the device's bytes flow again.
  Client client;
  Take(client, Bytes({255, 250, 44, 101}));
  std::vector<std::byte> endless(1 << 20, std::byte{'x'});
  EXPECT_TRUE(Take(client, endless).data.empty());
  EXPECT_EQ(Take(client, Bytes({255, 240, 'o', 'k'})).data, Bytes("ok"));
  EXPECT_EQ(client.Malformed(), "a subnegotiation longer than 64 bytes");

  // 1 MiB of IAC IAC is half a MiB of the device's 0xFF, and nothing else.
  Client doubled;
  const std::vector<std::byte> iacs(1 << 20, std::byte{255});
  const Taken taken = Take(doubled, iacs);
  EXPECT_EQ(taken.data, std::vector<std::byte>(1 << 19, std::byte{255}));
  EXPECT_TRUE(taken.reply.empty());

  // A request cut off at the end of a read is finished by the next; bad lengths and a stray SE
  // are counted, the first named; nothing of theirs is taken.
  Client cut;
  EXPECT_TRUE(Take(cut, Bytes({255, 253})).reply.empty());
  EXPECT_EQ(Take(cut, Bytes({24, 'a'})).reply, Bytes({255, 252, 24}));
  Take(cut, Reply(1, {0, 0, 37}));
  Take(cut, Reply(2, {7, 7}));
  Take(cut, Bytes({255, 240}));
  EXPECT_EQ(cut.Malformed(), "a speed of 3 bytes");
  EXPECT_EQ(cut.MalformedCount(), 3U);
  EXPECT_FALSE(cut.Acknowledged(Setting::BaudRate));
  EXPECT_FALSE(cut.Acknowledged(Setting::DataSize));
}

}  // namespace
