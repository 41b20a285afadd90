#pragma once

// The line settings and time-outs a port is given, as plain records that each platform
// translates into its own (termios on Linux, the DCB and COMMTIMEOUTS on Windows).

#include <chrono>
#include <string>
#include <vector>

namespace serial {

enum class Parity { None, Odd, Even, Mark, Space };

struct LineSettings {
  unsigned baudRate;
  unsigned dataBits;  // 5 to 8
  Parity parity;
  unsigned stopBits;   // 1 or 2
  bool ctsRtsFlow;     // hardware flow control: output held while the device drops CTS
  bool xonXoffOutput;  // output held between the device's XOFF and XON
  bool xonXoffInput;   // we send XOFF/XON as our input fills (never on: it would land in a file)
  bool dtr;            // DTR raised while the port is open
  bool rts;            // RTS raised while the port is open
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

// Gaps a slow device needs between what it is sent, each counted from when the byte before it
// has left the port. None by default: a file goes out as fast as the line carries it.
struct Pacing {
  std::chrono::milliseconds afterByte{0};
  std::chrono::milliseconds afterLineFeed{0};  // after a '\n', on top of afterByte
  bool Any() const { return afterByte.count() > 0 || afterLineFeed.count() > 0; }
};

// Bytes per second the line carries with these settings (start bit, data, parity, stop bits).
unsigned BytesPerSecond(const LineSettings& settings);

// What a device did not take of the settings it was given, in one line for the user:
// "speed 115200 (wanted 9600), CRTSCTS on". Each platform names its own settings.
class Mismatch {
 public:
  void Speed(unsigned actual, unsigned wanted);
  void Item(std::string item);
  // A setting that is on or off: "CRTSCTS on" when it is on and should not be.
  void Flag(const std::string& name, bool wanted, bool actual);
  std::string Text() const;

 private:
  std::vector<std::string> items_;
};

}  // namespace serial
