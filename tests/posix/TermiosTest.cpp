// The port on Linux: the line it is given through termios, whatever was there before.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <stdexcept>

#include "os/posix/Descriptor.h"
#include "serial/posix/Speed.h"
#include "serial/posix/Termios.h"
#include "tests/posix/TestSupport.h"

namespace {

using namespace testing_support;

TEST_F(SerialPortTest, OpenSetsTheLineWhateverAnEarlierProgramLeft) {
  termios left = pty_.Settings();
  cfsetispeed(&left, B115200);
  cfsetospeed(&left, B115200);
  left.c_cflag |= CSTOPB | PARODD | CRTSCTS;
  left.c_cflag &= ~tcflag_t{CLOCAL};
  left.c_iflag |= IXON | IXOFF | IXANY | ICRNL | ISTRIP;
  left.c_oflag |= OPOST | ONLCR;
  left.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
  left.c_cc[VMIN] = 1;
  left.c_cc[VTIME] = 5;
  pty_.SetSettings(left);

  EXPECT_EQ(link_.Open({.device = pty_.SlavePath()}).Why(), "");
  ASSERT_NE(link_.PortHandle(), nullptr);

  const termios now = pty_.Settings();
  EXPECT_EQ(cfgetospeed(&now), B9600);
  EXPECT_EQ(cfgetispeed(&now), B9600);
  EXPECT_EQ(now.c_cflag & CSIZE, tcflag_t{CS8});
  EXPECT_EQ(now.c_cflag & (CSTOPB | PARENB | PARODD | CRTSCTS), 0U);
  EXPECT_EQ(now.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});
  EXPECT_EQ(now.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP | INLCR | IGNCR), 0U);
  EXPECT_EQ(now.c_oflag & OPOST, 0U);
  EXPECT_EQ(now.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0U);
  EXPECT_EQ(now.c_cc[VMIN], 0);
  EXPECT_EQ(now.c_cc[VTIME], 0);
  link_.Close();

  // Other line options, over what the default left, as a device that needs them would have them.
  serial::PortOptions options{.device = pty_.SlavePath()};
  options.line.baudRate = 115200;
  options.line.dataBits = 7;
  options.line.parity = serial::Parity::Odd;
  options.line.stopBits = 2;
  options.line.ctsRtsFlow = true;
  options.line.xonXoffOutput = true;
  // A pty forces 8 data bits and no parity, and says so; the rest takes.
  EXPECT_EQ(link_.Open(options).Why(), "Port \"" + pty_.SlavePath() +
                                           "\" did not take every setting: character size, "
                                           "PARENB off");
  const termios other = pty_.Settings();
  EXPECT_EQ(cfgetospeed(&other), B115200);
  EXPECT_EQ(other.c_cflag & (CSTOPB | PARODD | CRTSCTS), tcflag_t{CSTOPB | PARODD | CRTSCTS});
  EXPECT_EQ(other.c_iflag & (IXON | IXOFF), tcflag_t{IXON});
  link_.Close();

  // Speeds without a constant go through termios2, and are read back by their rate.
  if (!Passes(pty_.Master(), Request::Termios2)) {
    GTEST_SKIP() << "this system does not pass termios2 to a tty (QEMU's user-mode emulation)";
  }
  for (const unsigned rate : {250000U, 31250U, 9600U}) {
    options = serial::PortOptions{.device = pty_.SlavePath()};
    options.line.baudRate = rate;
    EXPECT_EQ(link_.Open(options).Why(), "") << rate;
    EXPECT_EQ(serial::ReadSpeed(pty_.Master()), rate);
    link_.Close();
  }
}

TEST(LineSettingsTest, TranslatesEveryFieldAndNamesWhatDidNotTake) {
  const serial::LineSettings other{.baudRate = 19200,
                                   .dataBits = 7,
                                   .parity = serial::Parity::Odd,
                                   .stopBits = 2,
                                   .ctsRtsFlow = true,
                                   .xonXoffOutput = true,
                                   .xonXoffInput = false,
                                   .dtr = true,
                                   .rts = true};
  const termios t = serial::ToTermios(termios{}, other, {.readMinimum = 1, .readTenths = 2});
  EXPECT_EQ(cfgetospeed(&t), B19200);
  EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t{CS7});
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS),
            tcflag_t{PARENB | PARODD | CSTOPB | CRTSCTS});
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), tcflag_t{IXON});
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_cc[VTIME], 2);
  EXPECT_EQ(serial::BytesPerSecond(serial::PortSettings), 960U);
  serial::LineSettings odd = serial::PortSettings;
  odd.baudRate = 250000;  // no constant: marked to be set on its own
  EXPECT_EQ(serial::ToTermios(termios{}, odd, {}).c_cflag & CBAUD, tcflag_t{CBAUDEX});
  odd.baudRate = 0;
  EXPECT_THROW(serial::ToTermios(termios{}, odd, {}), std::invalid_argument);
  odd.parity = serial::Parity::Mark;
  odd.baudRate = 9600;
  EXPECT_EQ(serial::ToTermios(termios{}, odd, {}).c_cflag & (PARENB | PARODD | CMSPAR),
            tcflag_t{PARENB | PARODD | CMSPAR});

  const auto mismatch = [](const termios& wanted, const termios& actual) {
    serial::Mismatch found;
    serial::DescribeMismatch(wanted, actual, found);
    return found.Text();
  };
  const termios wanted = serial::ToTermios(termios{}, serial::PortSettings, serial::PortTimeouts);
  EXPECT_EQ(mismatch(wanted, wanted), "");
  termios actual = wanted;
  cfsetospeed(&actual, B115200);
  actual.c_cflag |= CRTSCTS;
  EXPECT_EQ(mismatch(wanted, actual), "speed 115200 (wanted 9600), CRTSCTS on");
}

TEST_F(SerialPortTest, UnderXonXoffWhatTheDeviceSentIsDiscardedBeforeEachSend) {
  // Without a capture nothing is read: unread input must not pile up until the device's XON is
  // lost in it.
  serial::PortOptions options{.device = pty_.SlavePath()};
  options.line.xonXoffOutput = true;
  ASSERT_EQ(link_.Open(options).Why(), "");
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to look at the held port's input queue";
  }
  const os::Descriptor look(::open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  const auto unread = [&look] {
    int count = -1;
    ::ioctl(look.Get(), FIONREAD, &count);
    return count;
  };
  const std::string input(100, 'y');
  ASSERT_EQ(::write(pty_.Master(), input.data(), input.size()), 100);
  for (int wait = 0; wait < 100 && unread() < 100; ++wait) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(unread(), 100);
  EXPECT_EQ(link_.PortHandle()->Write(AsBytes("x")).written, 1U);
  EXPECT_EQ(unread(), 0);
  EXPECT_EQ(pty_.ReadAvailable(20ms), "x");
}

}  // namespace
