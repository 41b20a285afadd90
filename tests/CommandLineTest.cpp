#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "serial/PortName.h"
#include "shell/CommandLine.h"

namespace {

using shell::CommandLine;

CommandLine Parse(std::vector<const char*> arguments) {
  return shell::ParseCommandLine(arguments);
}

TEST(CommandLineTest, NoArgumentsIsComOneWithAWindow) {
  const CommandLine line = Parse({});
  EXPECT_EQ(line.action, CommandLine::Action::Run);
  EXPECT_EQ(line.options.port.device, serial::PortDevice("COM1"));
  EXPECT_TRUE(line.options.window);
}

TEST(CommandLineTest, LineOptionsDefaultToTheFixedLineAndSetEachField) {
  const CommandLine plain = Parse({});
  const serial::LineSettings& fixed = plain.options.port.line;
  EXPECT_EQ(std::tie(fixed.baudRate, fixed.dataBits, fixed.stopBits, fixed.dtr, fixed.rts),
            std::make_tuple(9600U, 8U, 1U, false, false));
  EXPECT_FALSE(plain.options.port.pacing.Any());
  EXPECT_EQ(plain.options.period, std::chrono::milliseconds(5000));
  EXPECT_EQ(plain.options.pause, std::chrono::milliseconds(10000));

  const CommandLine line =
      Parse({"--baud", "250000", "--framing=7e2", "--flow", "xon-xoff", "--dtr", "on",
             "--char-delay", "5", "--line-delay=50", "--period", "1000", "--pause", "0"});
  ASSERT_EQ(line.action, CommandLine::Action::Run) << line.error;
  const serial::LineSettings& set = line.options.port.line;
  EXPECT_EQ(std::tie(set.baudRate, set.dataBits, set.parity, set.stopBits),
            std::make_tuple(250000U, 7U, serial::Parity::Even, 2U));
  EXPECT_TRUE(set.xonXoffOutput);
  EXPECT_FALSE(set.xonXoffInput);  // an XOFF of ours would land in the middle of a file
  EXPECT_FALSE(set.ctsRtsFlow);
  EXPECT_TRUE(set.dtr);
  EXPECT_FALSE(set.rts);
  EXPECT_EQ(line.options.port.pacing.afterByte, std::chrono::milliseconds(5));
  EXPECT_EQ(line.options.port.pacing.afterLineFeed, std::chrono::milliseconds(50));
  EXPECT_EQ(line.options.period, std::chrono::milliseconds(1000));
  EXPECT_EQ(line.options.pause, std::chrono::milliseconds(0));
  EXPECT_EQ(Parse({"--framing", "8M1"}).options.port.line.parity, serial::Parity::Mark);

  // RTS/CTS: RTS is raised for the handshake unless --rts says otherwise.
  EXPECT_TRUE(Parse({"--flow", "rts-cts"}).options.port.line.rts);
  EXPECT_FALSE(Parse({"--rts", "off", "--flow", "rts-cts"}).options.port.line.rts);
  EXPECT_TRUE(Parse({"--flow", "rts-cts"}).options.port.line.ctsRtsFlow);
}

TEST(CommandLineTest, UnattendedOptionsAreOffUnlessGiven) {
  const CommandLine plain = Parse({});
  EXPECT_FALSE(plain.options.port.reconnect);
  EXPECT_FALSE(plain.options.verbose);
  EXPECT_EQ(plain.options.dir, "");

  EXPECT_EQ(plain.options.log, "");

  const CommandLine line = Parse({"--reconnect", "-v", "--dir", "/tmp", "--log=run.log"});
  EXPECT_EQ(line.action, CommandLine::Action::Run);
  EXPECT_TRUE(line.options.port.reconnect);
  EXPECT_TRUE(line.options.verbose);
  EXPECT_EQ(line.options.dir, "/tmp");
  EXPECT_EQ(line.options.log, "run.log");
  EXPECT_EQ(Parse({"--no-window", "--list-ports"}).action, CommandLine::Action::ListPorts);
}

TEST(CommandLineTest, AnythingUnknownOrIncompleteIsABadCommandLine) {
  const std::string kPort = std::string("give ") + serial::PortDeviceAccepts();
  const std::string kFraming =
      "give data bits 5 to 8, parity N, E, O, M or S, stop bits 1 or 2, such as 8N1 or 7E2";
  const struct {
    std::vector<const char*> arguments;
    std::string error;
  } cases[] = {
      {{"--colour"}, "unknown option --colour"},
      {{"-x"}, "unknown option -x"},
      {{"check1.txt"}, "unexpected argument \"check1.txt\""},
      {{"--port"}, "--port needs " + std::string(serial::PortDeviceAccepts())},
      {{"--dir"}, "--dir needs a directory"},
      {{"--dir="}, "--dir \"\": give a directory"},
      {{"--log"}, "--log needs a file"},
      {{"-v=1"}, "unknown option -v=1"},
      {{"--help=me"}, "--help takes no value"},
      {{"--list-ports=all"}, "--list-ports takes no value"},
      {{"--reconnect=yes"}, "--reconnect takes no value"},
      {{"--baud", "49"}, "--baud \"49\": give bits per second, from 50 to 12000000"},
      {{"--baud=9600.0"}, "--baud \"9600.0\": give bits per second, from 50 to 12000000"},
      {{"--baud", "-9600"}, "--baud \"-9600\": give bits per second, from 50 to 12000000"},
      {{"--framing", "9N1"}, "--framing \"9N1\": " + kFraming},
      {{"--framing", "8X1"}, "--framing \"8X1\": " + kFraming},
      {{"--framing", "8N3"}, "--framing \"8N3\": " + kFraming},
      {{"--framing", "8N1 "}, "--framing \"8N1 \": " + kFraming},
      {{"--flow", "hardware"}, "--flow \"hardware\": give none, rts-cts or xon-xoff"},
      {{"--dtr", "1"}, "--dtr \"1\": give on or off"},
      {{"--rts"}, "--rts needs on or off"},
      {{"--char-delay", "5ms"}, "--char-delay \"5ms\": give milliseconds, from 0 to 86400000"},
      {{"--line-delay", "86400001"},
       "--line-delay \"86400001\": give milliseconds, from 0 to 86400000"},
      {{"--period", "0"}, "--period \"0\": give milliseconds, from 1 to 86400000"},
      {{"--pause", ""}, "--pause \"\": give milliseconds, from 0 to 86400000"},
      {{"--port", "COM0"}, "--port \"COM0\": " + kPort},
      {{"--port="}, "--port \"\": " + kPort},
      {{"--no-window", "--port", "ttyUSB0"}, "--port \"ttyUSB0\": " + kPort},
  };
  for (const auto& bad : cases) {
    const CommandLine line = Parse(bad.arguments);
    EXPECT_EQ(line.action, CommandLine::Action::Bad) << bad.error;
    EXPECT_EQ(line.error, bad.error);
  }
  EXPECT_EQ(Parse({"--port", "COM2", "--help"}).action, CommandLine::Action::Help);
  EXPECT_EQ(Parse({"--version"}).action, CommandLine::Action::Version);
}

TEST(PortNameTest, ComNamesAreReadOnceAndEachSystemMapsThemToItsPorts) {
  EXPECT_EQ(serial::ComNumber("COM1"), 1U);
  EXPECT_EQ(serial::ComNumber("com12"), 12U);
  EXPECT_EQ(serial::ComNumber("COM300"), 300U);
  for (const char* bad : {"COM0", "COM01", "COM", "COM1x", "COM-1", "CNCA0", "ttyS0", ""}) {
    EXPECT_EQ(serial::ComNumber(bad), std::nullopt) << bad;
    EXPECT_EQ(serial::PortDevice(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(serial::PortDevice("com1"), serial::DefaultPort());
  // Each system's own names: its paths on Linux; on Windows up to COM256, and devices by their
  // \\.\ name.
  const bool windows = serial::DefaultPort() == "COM1";
  const std::vector<std::pair<std::string, std::string>> named =
      windows ? std::vector<std::pair<std::string, std::string>>{{"COM256", "COM256"},
                                                                 {"COM257", ""},
                                                                 {R"(\\.\com12)", "COM12"},
                                                                 {R"(\\.\CNCA0)", R"(\\.\CNCA0)"},
                                                                 {R"(\\.\)", ""},
                                                                 {R"(\\.\a\b)", ""},
                                                                 {"/dev/ttyS0", ""}}
              : std::vector<std::pair<std::string, std::string>>{{"COM12", "/dev/ttyS11"},
                                                                 {"/dev/ttyUSB0", "/dev/ttyUSB0"}};
  for (const auto& [value, device] : named) {
    EXPECT_EQ(serial::PortDevice(value).value_or(""), device) << value;
  }
  // --port takes them, with its value apart or after "=".
  const shell::CommandLine separate =
      shell::ParseCommandLine(std::vector<const char*>{"--port", "COM2", "--no-window"});
  EXPECT_EQ(separate.action, shell::CommandLine::Action::Run);
  EXPECT_EQ(separate.options.port.device, serial::PortDevice("COM2"));
  EXPECT_FALSE(separate.options.window);
  EXPECT_EQ(shell::ParseCommandLine(std::vector<const char*>{"--port=COM10"}).options.port.device,
            serial::PortDevice("COM10"));
}

TEST(PortNameTest, APortOnTheNetworkIsItsUrlAndARawOneTakesNoLineOption) {
  const auto address = serial::NetworkPortOf("rfc2217://[::1]:2000");
  ASSERT_TRUE(address);
  EXPECT_TRUE(address->rfc2217);
  EXPECT_EQ(address->host, "::1");
  EXPECT_EQ(address->port, "2000");
  const auto raw = serial::NetworkPortOf("socket://bench-pi.local:4001");
  ASSERT_TRUE(raw);
  EXPECT_FALSE(raw->rfc2217);
  EXPECT_EQ(raw->host, "bench-pi.local");
  for (const char* bad : {"rfc2217://host", "rfc2217://:2000", "rfc2217://host:0",
                          "rfc2217://host:65536", "rfc2217://host:02000", "rfc2217://::1:2000",
                          "rfc2217://host:2000/x", "telnet://host:23", "socket://a b:1"}) {
    EXPECT_EQ(serial::PortDevice(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(serial::PortDevice("rfc2217://192.168.1.50:2000"), "rfc2217://192.168.1.50:2000");

  EXPECT_EQ(Parse({"--port", "socket://10.0.0.5:4001", "--char-delay", "5"}).action,
            CommandLine::Action::Run);
  for (const char* option :
       {"--baud=19200", "--framing=7E1", "--flow=rts-cts", "--dtr=on", "--rts=on"}) {
    const CommandLine line = Parse({"--port", "socket://10.0.0.5:4001", option});
    EXPECT_EQ(line.action, CommandLine::Action::Bad) << option;
    EXPECT_EQ(line.error, std::string(option).substr(0, std::string(option).find('=')) +
                              " needs rfc2217://; socket:// carries bytes only");
  }
  EXPECT_EQ(Parse({"--port", "rfc2217://10.0.0.5:2000", "--baud", "19200"}).action,
            CommandLine::Action::Run);
}

}  // namespace
