// The telnet / RFC 2217 codec fed what a server sends, cut into reads wherever the input says:
// however the bytes are cut, the client must make the same of them (the device's bytes, its
// answers, what it learned), its answers must be whole words, and the device's own bytes must
// cross the escaping unchanged both ways and through the one outgoing queue.
//
//   input: a byte N (how many cuts, N % 8), N cut positions of two bytes each, then the server's
//   bytes

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "serial/network/Outgoing.h"
#include "serial/network/Rfc2217.h"
#include "tests/fuzz/Fuzz.h"

namespace {

using serial::rfc2217::Client;
using serial::rfc2217::Setting;

struct Made {
  std::vector<std::byte> data;
  std::vector<std::byte> reply;
};

Made Take(Client& client, std::span<const std::byte> bytes, const std::vector<std::size_t>& cuts) {
  Made made;
  std::size_t from = 0;
  for (const std::size_t cut : cuts) {
    client.Take(bytes.subspan(from, cut - from), made.data, made.reply);
    from = cut;
  }
  client.Take(bytes.subspan(from), made.data, made.reply);
  return made;
}

}  // namespace

using fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::size_t count = input[0] % 8;
  if (size < 1 + 2 * count) {
    return 0;
  }
  const std::span<const std::byte> bytes =
      std::as_bytes(std::span(input + 1 + 2 * count, size - 1 - 2 * count));
  std::vector<std::size_t> cuts;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = static_cast<std::size_t>(input[1 + 2 * i]) << 8 | input[2 + 2 * i];
    cuts.push_back(bytes.empty() ? 0 : at % (bytes.size() + 1));
  }
  std::sort(cuts.begin(), cuts.end());

  // Once whole, once in pieces, after the same opening: the same.
  Client whole;
  Client cut;
  const std::vector<std::byte> opening = whole.Start(serial::PortSettings);
  Require(cut.Start(serial::PortSettings) == opening);
  const Made one = Take(whole, bytes, {});
  const Made pieces = Take(cut, bytes, cuts);
  Require(one.data == pieces.data && one.reply == pieces.reply);
  Require(whole.Refusal() == cut.Refusal() && whole.ComPort() == cut.ComPort() &&
          whole.Suspended() == cut.Suspended() && whole.Cts() == cut.Cts() &&
          whole.Overrun() == cut.Overrun() && whole.MalformedCount() == cut.MalformedCount() &&
          whole.Malformed() == cut.Malformed());
  for (const Setting setting :
       {Setting::BaudRate, Setting::DataSize, Setting::Parity, Setting::StopSize,
        Setting::FlowControl, Setting::Dtr, Setting::Rts, Setting::Purge}) {
    Require(whole.Acknowledged(setting) == cut.Acknowledged(setting));
  }
  // Its answers are whole words of three bytes, IAC and a verb and an option, and never more
  // than the server's requests.
  Require(one.reply.size() % 3 == 0 && one.reply.size() <= bytes.size() / 3 * 3);
  for (std::size_t i = 0; i < one.reply.size(); i += 3) {
    Require(one.reply[i] == std::byte{255} && std::to_integer<int>(one.reply[i + 1]) >= 251);
  }
  // Nothing the server sends is the device's but what it sent as data: never more bytes.
  Require(one.data.size() <= bytes.size());

  // The device's bytes (here the input's), escaped, come back as they were.
  std::vector<std::byte> escaped;
  Client::Escape(bytes, escaped);
  Client reader;
  const Made back = Take(reader, escaped, cuts);
  Require(std::equal(back.data.begin(), back.data.end(), bytes.begin(), bytes.end()) &&
          back.reply.empty());

  // Through the one queue, cut as the connection takes it, with the answers among them: the same
  // bytes on the wire as escaping gives, every one of the device's counted once.
  serial::network::Outgoing out;
  std::size_t put = 0;
  for (const std::size_t at : cuts) {
    out.Data(bytes.subspan(put, at - put), true);
    out.Command(one.reply);
    put = at;
  }
  out.Data(bytes.subspan(put), true);
  // The connection takes as much at a time as the cuts are apart, over and over.
  std::vector<std::size_t> takes;
  std::size_t last = 0;
  for (const std::size_t at : cuts) {
    takes.push_back(std::max<std::size_t>(at - last, 1));
    last = at;
  }
  takes.push_back(std::max<std::size_t>(bytes.size() - last, 1));
  std::vector<std::byte> wire;
  for (std::size_t step = 0; !out.Empty(); ++step) {
    const std::span<const std::byte> next = out.Next();
    Require(!next.empty());
    const std::size_t take = std::min(next.size(), takes[step % takes.size()]);
    wire.insert(wire.end(), next.begin(), next.begin() + static_cast<std::ptrdiff_t>(take));
    out.Took(take);
  }
  Require(out.DataSent() == bytes.size());
  Client server;  // the words it reads are the answers, the data the device's bytes
  const Made heard = Take(server, wire, {});
  Require(std::equal(heard.data.begin(), heard.data.end(), bytes.begin(), bytes.end()));
  return 0;
}
