#pragma once

// RFC 2217 (telnet's COM-PORT-OPTION) from the client's side, as pure code: what to send to give a
// port behind a device server its line, and what the server's bytes say (the device's data, the
// acknowledgements, flow control, the modem lines). Bytes in; bytes and what was learned out.
// No socket: serial/network/NetworkPort.cpp carries the bytes.
//
// Telnet's options are negotiated by the Q method of RFC 1143: each option's state on either side
// (NO, YES, WANTNO, WANTYES) decides the answer to a request, so every new request is answered,
// an answer is never answered again, and no two peers can loop.
//
// The server's bytes are not trusted: a subnegotiation is kept to kMaxSubnegotiation bytes
// however long it runs, whatever does not parse is counted and said once, and nothing the server
// sends makes this grow without bound.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "serial/LineSettings.h"

namespace serial::rfc2217 {

// What the client asks of the server, and waits for the server to acknowledge.
enum class Setting { BaudRate, DataSize, Parity, StopSize, FlowControl, Dtr, Rts, Purge };
inline constexpr std::size_t kSettings = 8;

inline constexpr std::size_t kMaxSubnegotiation = 64;

class Client {
 public:
  // What opens the session: BINARY both ways, SUPPRESS-GO-AHEAD and COM-PORT-OPTION offered, then
  // `line` (speed, data size, parity, stop size, flow control, DTR, RTS), a purge of both of the
  // server's buffers, and with RTS/CTS flow control a request to be told of CTS.
  std::vector<std::byte> Start(const LineSettings& line);

  // The device's bytes as they go to the server: IAC (0xFF) doubled.
  static void Escape(std::span<const std::byte> data, std::vector<std::byte>& out);

  // A request to throw away what the server still holds for the device.
  static std::vector<std::byte> PurgeTransmit();

  // Takes bytes from the server: the device's bytes are appended to `data`, and what must be
  // answered to `reply`.
  void Take(std::span<const std::byte> bytes, std::vector<std::byte>& data,
            std::vector<std::byte>& reply);

  // What the server acknowledged of `setting`: the value it took, if it said so yet.
  std::optional<std::uint32_t> Acknowledged(Setting setting) const {
    return acknowledged_[static_cast<std::size_t>(setting)];
  }
  // Which settings of `line` the server took otherwise than asked, for the user:
  // "speed 115200 (wanted 9600), parity ODD (wanted NONE)".
  std::string Mismatch(const LineSettings& line) const;

  // Why the server cannot serve as an RFC 2217 port, or "": it refused COM-PORT-OPTION or BINARY.
  const std::string& Refusal() const { return refusal_; }
  // Whether it agreed to COM-PORT-OPTION.
  bool ComPort() const { return ours_[kComPortOption] == Q::Yes; }

  // The server asked to wait (FLOWCONTROL-SUSPEND) and has not said to go on since.
  bool Suspended() const { return suspended_; }
  // The device's CTS line, as the server last told it.
  std::optional<bool> Cts() const { return cts_; }
  // Whether the server told of an overrun: bytes the device sent were lost before it read them.
  bool Overrun() const { return overrun_; }

  // What the server sent that does not parse: the first such thing, and how many there were.
  const std::string& Malformed() const { return malformed_; }
  std::size_t MalformedCount() const { return malformedCount_; }

 private:
  enum class State { Data, Command, Option, Subnegotiation, SubnegotiationCommand };
  // An option's state on one side (RFC 1143): off, on, or asked to be either and not yet answered.
  enum class Q : std::uint8_t { No, Yes, WantNo, WantYes };
  static constexpr std::uint8_t kComPortOption = 44;

  void Negotiate(std::uint8_t verb, std::uint8_t option, std::vector<std::byte>& reply);
  // The server's WILL or WONT (`on`) for `option`, which it performs.
  void Theirs(std::uint8_t option, bool on, std::vector<std::byte>& reply);
  // The server's DO or DONT (`on`) for `option`, which this client would perform.
  void Ours(std::uint8_t option, bool on, std::vector<std::byte>& reply);
  void Subnegotiation();
  // Keeps a byte of a subnegotiation, up to kMaxSubnegotiation.
  void Keep(std::byte byte);
  void Bad(std::string what);

  State state_ = State::Data;
  std::uint8_t verb_ = 0;
  std::vector<std::byte> sub_;
  bool subTooLong_ = false;
  std::array<std::optional<std::uint32_t>, kSettings> acknowledged_{};
  std::array<Q, 256> ours_{};    // each option as this client performs it
  std::array<Q, 256> theirs_{};  // each option as the server performs it
  std::string refusal_;
  bool suspended_ = false;
  std::optional<bool> cts_;
  bool overrun_ = false;
  std::string malformed_;
  std::size_t malformedCount_ = 0;
};

}  // namespace serial::rfc2217
