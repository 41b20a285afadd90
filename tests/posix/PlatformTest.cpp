// What Linux's side of the program does: device names, directories, the journal (systemd's
// JOURNAL_STREAM), the X display, and the ports sysfs and udev show.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "os/posix/Descriptor.h"
#include "os/posix/Interrupt.h"
#include "serial/PortList.h"
#include "serial/PortName.h"
#include "serial/posix/PortList.h"
#include "shell/CommandLine.h"
#include "shell/Notify.h"
#include "shell/PortAdvice.h"
#include "shell/Reporter.h"
#include "shell/Window.h"
#include "tests/Support.h"

namespace {

using namespace std::chrono_literals;

// Sets an environment variable for the life of the object.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      old_ = old;
    }
    Set(value);
  }
  ~ScopedEnvironment() { Set(old_); }

 private:
  void Set(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name_, value->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
    ::tzset();
  }
  const char* name_;
  std::optional<std::string> old_;
};

TEST(DirectoryTest, ADirectoryThatCannotServeIsABadCommandLine) {
  shell::Options options;
  options.dir = "/tmp";
  EXPECT_EQ(shell::CheckOptions(options).Why(), "");
  options.dir = "/nonexistent-checkfeed-dir";
  EXPECT_EQ(shell::CheckOptions(options).Why(),
            "--dir \"/nonexistent-checkfeed-dir\": No such file or directory");
  options.dir = "/etc/passwd";
  EXPECT_EQ(shell::CheckOptions(options).Why(), "--dir \"/etc/passwd\": not a directory");
}

TEST(JournalTest, TheRecordLeavesTheTimeToTheJournalOnlyWhenStdoutIsIt) {
  const ScopedEnvironment zone("TZ", "UTC-1");                   // one hour east of UTC
  const shell::WallClock::time_point when{1'796'637'620'015ms};  // 2026-12-07 10:00:20.015 UTC
  EXPECT_EQ(shell::IsoTime(when), "2026-12-07T11:00:20.015+01:00");

  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  struct stat status {};
  ASSERT_EQ(::fstat(::fileno(out), &status), 0);
  {
    const ScopedEnvironment journal(
        "JOURNAL_STREAM", std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino));
    shell::Reporter(true, out, stderr).Note(when, "Port \"/dev/ttyS0\" is back");
  }
  // A service whose stdout was sent to a file: the journal it names is not this stream.
  ASSERT_EQ(::stat("/dev/null", &status), 0);
  {
    const ScopedEnvironment journal(
        "JOURNAL_STREAM", std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino));
    shell::Reporter(true, out, stderr).Note(when, "Port \"/dev/ttyS0\" is back");
  }
  std::rewind(out);
  std::string text(4096, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), out));
  std::fclose(out);
  EXPECT_EQ(text,
            "Port \"/dev/ttyS0\" is back\n"
            "2026-12-07T11:00:20.015+01:00 Port \"/dev/ttyS0\" is back\n");
}

TEST(DisplayTest, ARemoteXDisplayGetsAWindowAndAStaleLocalOneDoesNot) {
  const ScopedEnvironment wayland("WAYLAND_DISPLAY", std::nullopt);
  const ScopedEnvironment platform("QT_QPA_PLATFORM", std::nullopt);
  shell::Options options;
  {
    // As ssh -X sets it: whether that server lets us in is for the window to find out.
    const ScopedEnvironment display("DISPLAY", "buildhost:10.0");
    EXPECT_TRUE(shell::WindowWanted(options));
    options.window = false;  // --no-window
    EXPECT_FALSE(shell::WindowWanted(options));
    options.window = true;
  }
  const ScopedEnvironment stale("DISPLAY", ":9999");
  EXPECT_FALSE(shell::WindowWanted(options));
}

// A machine's tree as udev and the kernel show it: ttys (with the driver behind each, or none for
// a virtual one; an 8250 node's UART type after a colon) and links in /dev. Returns its listing.
std::string ListedOn(const std::vector<std::string>& ttys,
                     const std::vector<std::pair<std::string, std::string>>& links) {
  namespace fs = std::filesystem;
  testing_support::ScratchDirectory root;
  const fs::path tty = root.Path() / "sys/class/tty";
  for (const std::string& entry : ttys) {
    const std::string name = entry.substr(0, entry.find_first_of("=:"));
    fs::create_directories(tty / name);
    if (const auto type = entry.find(':'); type != std::string::npos) {
      testing_support::WriteFile(tty / name / "type", entry.substr(type + 1) + "\n");
    }
    if (const auto driver = entry.find('='); driver != std::string::npos) {
      fs::create_directories(tty / name / "device");
      fs::create_directory_symlink(
          "../../../bus/drivers/" + entry.substr(driver + 1, entry.find(':') - driver - 1),
          tty / name / "device/driver");
    }
  }
  for (const auto& [link, target] : links) {
    fs::create_directories((root.Path() / link).parent_path());
    fs::create_symlink(target, root.Path() / link);
  }
  std::string listed;
  for (const serial::ListedPort& port : serial::ListPortsUnder(root.Path())) {
    listed += port.name + " | " + port.detail + "\n";
  }
  return listed;
}

TEST(PortListTest, StableNamesFirstThenAdaptersWithoutOneThenTheBoardsOwnUarts) {
  // A PC: two adapters with stable names, one without, an ACM board, ttyS nodes of which only
  // two have a UART behind them, and virtual terminals and a pty with no device at all.
  EXPECT_EQ(
      ListedOn({"ttyUSB0=ftdi_sio", "ttyUSB1=ftdi_sio", "ttyUSB10=ftdi_sio", "ttyUSB2=ftdi_sio",
                "ttyACM0=cdc_acm", "ttyS0=serial8250:4", "ttyS1=serial8250:0",
                "ttyS12=serial8250:4", "ttyS3=serial8250:0", "tty0", "console", "ptmx"},
               {{"dev/serial/by-id/usb-FTDI_FT232R_USB_UART_B-if00-port0", "../../ttyUSB1"},
                {"dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A-if00-port0", "../../ttyUSB0"}}),
      "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A-if00-port0 | /dev/ttyUSB0\n"
      "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_B-if00-port0 | /dev/ttyUSB1\n"
      "/dev/ttyACM0 | cdc_acm\n"
      "/dev/ttyUSB2 | ftdi_sio\n"
      "/dev/ttyUSB10 | ftdi_sio\n"
      "/dev/ttyS0 | COM1\n"
      "/dev/ttyS12 | COM13\n");
  // A Raspberry Pi: the PL011 and the mini UART under the names Raspberry Pi OS gives them, and
  // an adapter without a stable name.
  EXPECT_EQ(ListedOn({"ttyAMA0=uart-pl011", "ttyS0=dw-apb-uart:4", "ttyUSB0=ch341-uart", "tty1",
                      "ttyprintk"},
                     {{"dev/serial0", "ttyAMA0"}, {"dev/serial1", "ttyS0"}}),
            "/dev/serial0 | /dev/ttyAMA0\n"
            "/dev/serial1 | /dev/ttyS0\n"
            "/dev/ttyUSB0 | ch341-uart\n");
  // An i.MX board: its UARTs by number.
  EXPECT_EQ(ListedOn({"ttymxc3=imx-uart", "ttymxc0=imx-uart", "ttymxc10=imx-uart",
                      "ttymxc2=imx-uart", "ttymxc1=imx-uart", "ttyGS0"},
                     {}),
            "/dev/ttymxc0 | imx-uart\n/dev/ttymxc1 | imx-uart\n/dev/ttymxc2 | imx-uart\n"
            "/dev/ttymxc3 | imx-uart\n/dev/ttymxc10 | imx-uart\n");
  // A machine with none lists none.
  EXPECT_EQ(ListedOn({}, {}), "");
}

TEST(InterrupterTest, ACallNoHandleCanEndIsEndedAgainAndAgain) {
  // A read of a pipe nobody writes, as a tcdrain() of a device that holds the line.
  int pipe[2];
  ASSERT_EQ(::pipe(pipe), 0);
  const os::Descriptor reader(pipe[0]);
  const os::Descriptor writer(pipe[1]);
  const os::Interrupter interrupter(20ms);
  ASSERT_TRUE(interrupter.Armed());
  for (int call = 0; call < 3; ++call) {
    char byte = 0;
    errno = 0;
    EXPECT_EQ(::read(reader.Get(), &byte, 1), -1);
    EXPECT_EQ(errno, EINTR);
  }
}

TEST(PortAdviceTest, ALinkToTheFailedDeviceIsNeverSuggested) {
  // /dev/serial/by-path/... failed; /dev/serial/by-id/... points to the same device.
  const testing_support::ScratchDirectory scratch;
  testing_support::WriteFile("ttyUSB0", "");
  std::filesystem::create_symlink("ttyUSB0", "by-id-link");
  std::filesystem::create_symlink("ttyUSB0", "by-path-link");
  const std::string folder = scratch.Path().string() + "/";
  const std::vector<serial::ListedPort> ports{{folder + "by-id-link", folder + "ttyUSB0"},
                                              {"/dev/ttyS0", "COM1"}};
  EXPECT_EQ(shell::PortAdvice(serial::PortProblem::NotSerial, false, ports, "man checkfeed",
                              folder + "by-path-link"),
            "Other serial ports on this computer: /dev/ttyS0. Start checkfeed with --port "
            "/dev/ttyS0 (see man checkfeed).");
}

// systemd's notify protocol, heard where systemd would hear it: an abstract socket (NOTIFY_SOCKET
// "@..."), and a watchdog that is this process's only when WATCHDOG_PID, if set, names it.
TEST(ServiceNotifyTest, AnAbstractSocketHearsEveryMessageAndTheWatchdogIsThisProcesssOnly) {
  const std::string name = "@checkfeed-test-notify-" + std::to_string(::getpid());
  const os::Descriptor listener(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  name.copy(address.sun_path + 1, name.size() - 1, 1);
  ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())),
            0);
  const auto heard = [&listener] {
    std::string message(256, '\0');
    const os::WakeHandle wake = os::WakeOf(listener.Get());
    if (!os::WaitForAny(std::span(&wake, 1), os::Clock::now() + 2s)) {
      return std::string("(nothing)");
    }
    message.resize(static_cast<std::size_t>(
        std::max<ssize_t>(::recv(listener.Get(), message.data(), message.size(), 0), 0)));
    return message;
  };
  const ScopedEnvironment socketName("NOTIFY_SOCKET", name);
  const ScopedEnvironment every("WATCHDOG_USEC", "2000000");
  for (const auto& [watchdogPid, watched] :
       {std::pair<std::optional<std::string>, bool>{std::to_string(::getpid()), true},
        {std::nullopt, true},
        {std::to_string(::getpid() + 1), false}}) {
    const ScopedEnvironment pid("WATCHDOG_PID", watchdogPid);
    shell::ServiceNotify notify;
    EXPECT_EQ(notify.Watchdog(),
              watched ? std::optional(std::chrono::microseconds(2s)) : std::nullopt);
    notify.Ready();
    EXPECT_EQ(heard(), "READY=1");
    notify.Status("check1.txt sent");
    EXPECT_EQ(heard(), "STATUS=check1.txt sent");
  }
}

}  // namespace
