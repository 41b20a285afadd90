#include "serial/posix/Termios.h"

#include <array>
#include <stdexcept>
#include <utility>

namespace serial {
namespace {

constexpr std::array<std::pair<unsigned, speed_t>, 19> kSpeeds{{
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800},
}};

speed_t SpeedConstant(unsigned baudRate) {
  for (const auto& [rate, constant] : kSpeeds) {
    if (rate == baudRate) {
      return constant;
    }
  }
  return CBAUDEX;  // the bits of BOTHER: the speed is set on its own
}

unsigned SpeedRate(speed_t constant) {
  for (const auto& [rate, speed] : kSpeeds) {
    if (speed == constant) {
      return rate;
    }
  }
  return 0;
}

tcflag_t SizeFlag(unsigned dataBits) {
  switch (dataBits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    case 8:
      return CS8;
    default:
      throw std::invalid_argument("unsupported data bits " + std::to_string(dataBits));
  }
}

void SetFlag(tcflag_t& word, tcflag_t flag, bool on) {
  if (on) {
    word |= flag;
  } else {
    word &= ~flag;
  }
}

}  // namespace

bool IsStandardSpeed(unsigned baudRate) {
  return SpeedConstant(baudRate) != CBAUDEX;
}

termios ToTermios(termios current, const LineSettings& settings, const Timeouts& timeouts) {
  if (settings.stopBits != 1 && settings.stopBits != 2) {
    throw std::invalid_argument("unsupported stop bits " + std::to_string(settings.stopBits));
  }
  termios t = current;
  cfmakeraw(&t);

  // Earlier users of the port may have left any of these on; each one is set explicitly.
  t.c_iflag &= ~tcflag_t{IXANY | INPCK | ISTRIP | IGNPAR | IUCLC | IMAXBEL};
  SetFlag(t.c_iflag, IXON, settings.xonXoffOutput);
  SetFlag(t.c_iflag, IXOFF, settings.xonXoffInput);

  t.c_cflag &= ~tcflag_t{CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS};
  t.c_cflag |= SizeFlag(settings.dataBits) | CREAD | CLOCAL;
  SetFlag(t.c_cflag, PARENB, settings.parity != Parity::None);
  SetFlag(t.c_cflag, PARODD, settings.parity == Parity::Odd || settings.parity == Parity::Mark);
  // Mark and space: the parity bit is always 1 or always 0 ("stick" parity).
  SetFlag(t.c_cflag, CMSPAR, settings.parity == Parity::Mark || settings.parity == Parity::Space);
  SetFlag(t.c_cflag, CSTOPB, settings.stopBits == 2);
  SetFlag(t.c_cflag, CRTSCTS, settings.ctsRtsFlow);

  t.c_cc[VMIN] = timeouts.readMinimum;
  t.c_cc[VTIME] = timeouts.readTenths;

  if (settings.baudRate == 0) {
    throw std::invalid_argument("unsupported baud rate 0");
  }
  const speed_t speed = SpeedConstant(settings.baudRate);
  if (speed == CBAUDEX) {
    t.c_cflag = (t.c_cflag & ~tcflag_t{CBAUD}) | CBAUDEX;
  } else {
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
  }
  return t;
}

void DescribeMismatch(const termios& wanted, const termios& actual, Mismatch& mismatch) {
  // A speed set on its own (BOTHER) is compared by its rate instead, see the port's Configure.
  if (cfgetospeed(&actual) != cfgetospeed(&wanted) ||
      cfgetispeed(&actual) != cfgetispeed(&wanted)) {
    mismatch.Speed(SpeedRate(cfgetospeed(&actual)), SpeedRate(cfgetospeed(&wanted)));
  }
  if ((actual.c_cflag & CSIZE) != (wanted.c_cflag & CSIZE)) {
    mismatch.Item("character size");
  }
  struct Flag {
    const char* name;
    tcflag_t termios::*word;
    tcflag_t bit;
  };
  static constexpr std::array<Flag, 18> kFlags{{
      {"CMSPAR", &termios::c_cflag, CMSPAR},
      {"PARENB", &termios::c_cflag, PARENB},
      {"PARODD", &termios::c_cflag, PARODD},
      {"CSTOPB", &termios::c_cflag, CSTOPB},
      {"CRTSCTS", &termios::c_cflag, CRTSCTS},
      {"CLOCAL", &termios::c_cflag, CLOCAL},
      {"CREAD", &termios::c_cflag, CREAD},
      {"IXON", &termios::c_iflag, IXON},
      {"IXOFF", &termios::c_iflag, IXOFF},
      {"IXANY", &termios::c_iflag, IXANY},
      {"ICRNL", &termios::c_iflag, ICRNL},
      {"ISTRIP", &termios::c_iflag, ISTRIP},
      {"OPOST", &termios::c_oflag, OPOST},
      {"ICANON", &termios::c_lflag, ICANON},
      {"ECHO", &termios::c_lflag, ECHO},
      {"ISIG", &termios::c_lflag, ISIG},
      {"IEXTEN", &termios::c_lflag, IEXTEN},
      {"PARMRK", &termios::c_iflag, PARMRK},
  }};
  for (const Flag& flag : kFlags) {
    mismatch.Flag(flag.name, (wanted.*flag.word & flag.bit) != 0,
                  (actual.*flag.word & flag.bit) != 0);
  }
  if (actual.c_cc[VMIN] != wanted.c_cc[VMIN] || actual.c_cc[VTIME] != wanted.c_cc[VTIME]) {
    mismatch.Item("read time-outs");
  }
}

}  // namespace serial
