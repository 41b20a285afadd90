#pragma once

// The line settings and time-outs a port is given, as plain records, and their translation to
// termios. Only settings that mean something to a Linux tty are kept.

#include <termios.h>
#include <string>

namespace serial {

enum class Parity { None, Odd, Even };

struct LineSettings {
  unsigned baudRate;
  unsigned dataBits;  // 5 to 8
  Parity parity;
  unsigned stopBits;  // 1 or 2
  bool ctsRtsFlow;    // hardware flow control
  bool xonXoffOutput;
  bool xonXoffInput;
  bool dtr;  // DTR raised while the port is open
  bool rts;  // RTS raised while the port is open
};

struct Timeouts {
  // A read returns once it has this many bytes...
  unsigned char readMinimum;
  // ...or after this many tenths of a second. Both zero: a read returns at once.
  unsigned char readTenths;
};

// 9600 baud, 8 data bits, no parity, one stop bit, no flow control, DTR and RTS off.
inline constexpr LineSettings PortSettings{
    .baudRate = 9600,
    .dataBits = 8,
    .parity = Parity::None,
    .stopBits = 1,
    .ctsRtsFlow = false,
    .xonXoffOutput = false,
    .xonXoffInput = false,
    .dtr = false,
    .rts = false,
};

// Reads return at once with whatever has arrived. Writes have no time-out: a write is never cut
// short by time.
inline constexpr Timeouts PortTimeouts{.readMinimum = 0, .readTenths = 0};

// Bytes per second the line carries with these settings (start bit, data, parity, stop bits).
unsigned BytesPerSecond(const LineSettings& settings);

// `current` made raw (no translation of any byte, no echo, no signals) and then given
// `settings` and `timeouts`. Throws std::invalid_argument for a value termios cannot express.
termios ToTermios(termios current, const LineSettings& settings, const Timeouts& timeouts);

// What of `wanted` the device did not take, as "speed 115200 (wanted 9600), CRTSCTS on", or ""
// when every setting that matters took.
std::string DescribeMismatch(const termios& wanted, const termios& actual);

}  // namespace serial
