#include <gtest/gtest.h>

#include <vector>

#include "shell/CommandLine.h"

namespace {

using shell::CommandLine;

CommandLine Parse(std::vector<const char*> arguments) {
  return shell::ParseCommandLine(arguments);
}

TEST(CommandLineTest, NoArgumentsIsComOneWithAWindow) {
  const CommandLine line = Parse({});
  EXPECT_EQ(line.action, CommandLine::Action::Run);
  EXPECT_EQ(line.options.port.device, "/dev/ttyS0");
  EXPECT_TRUE(line.options.window);
}

TEST(CommandLineTest, PortNamesAComPortOrAnAbsolutePath) {
  EXPECT_EQ(shell::PortDevice("COM1"), "/dev/ttyS0");
  EXPECT_EQ(shell::PortDevice("com4"), "/dev/ttyS3");
  EXPECT_EQ(shell::PortDevice("COM12"), "/dev/ttyS11");
  EXPECT_EQ(shell::PortDevice("/dev/ttyUSB0"), "/dev/ttyUSB0");
  for (const char* bad : {"COM0", "COM01", "COM", "COM1x", "COM-1", "ttyUSB0", ""}) {
    EXPECT_EQ(shell::PortDevice(bad), "") << bad;
  }

  const CommandLine separate = Parse({"--port", "/dev/ttyACM0", "--no-window"});
  EXPECT_EQ(separate.action, CommandLine::Action::Run);
  EXPECT_EQ(separate.options.port.device, "/dev/ttyACM0");
  EXPECT_FALSE(separate.options.window);
  EXPECT_EQ(Parse({"--port=COM2"}).options.port.device, "/dev/ttyS1");
}

TEST(CommandLineTest, UnattendedOptionsAreOffUnlessGiven) {
  const CommandLine plain = Parse({});
  EXPECT_FALSE(plain.options.port.reconnect);
  EXPECT_FALSE(plain.options.verbose);
  EXPECT_EQ(plain.options.dir, "");

  const CommandLine line = Parse({"--reconnect", "-v", "--dir", "/tmp"});
  EXPECT_EQ(line.action, CommandLine::Action::Run);
  EXPECT_TRUE(line.options.port.reconnect);
  EXPECT_TRUE(line.options.verbose);
  EXPECT_EQ(line.options.dir, "/tmp");
  EXPECT_EQ(shell::CheckOptions(line.options), "");

  shell::Options missing;
  missing.dir = "/nonexistent-checkfeed-dir";
  EXPECT_EQ(shell::CheckOptions(missing),
            "--dir \"/nonexistent-checkfeed-dir\": No such file or directory");
  missing.dir = "/etc/passwd";
  EXPECT_EQ(shell::CheckOptions(missing), "--dir \"/etc/passwd\": not a directory");
}

TEST(CommandLineTest, AnythingUnknownOrIncompleteIsABadCommandLine) {
  const struct {
    std::vector<const char*> arguments;
    const char* error;
  } cases[] = {
      {{"--colour"}, "unknown option --colour"},
      {{"-x"}, "unknown option -x"},
      {{"check1.txt"}, "unexpected argument \"check1.txt\""},
      {{"--port"}, "--port needs a DEVICE"},
      {{"--dir"}, "--dir needs a DIR"},
      {{"--dir="}, "--dir \"\": give a directory"},
      {{"--reconnect=yes"}, "--reconnect takes no value"},
      {{"--port", "COM0"}, "--port \"COM0\": give a path such as /dev/ttyUSB0, or COMn (n from 1)"},
      {{"--port="}, "--port \"\": give a path such as /dev/ttyUSB0, or COMn (n from 1)"},
      {{"--no-window", "--port", "ttyUSB0"},
       "--port \"ttyUSB0\": give a path such as /dev/ttyUSB0, or COMn (n from 1)"},
  };
  for (const auto& bad : cases) {
    const CommandLine line = Parse(bad.arguments);
    EXPECT_EQ(line.action, CommandLine::Action::Bad) << bad.error;
    EXPECT_EQ(line.error, bad.error);
  }
  EXPECT_EQ(Parse({"--port", "COM2", "--help"}).action, CommandLine::Action::Help);
  EXPECT_EQ(Parse({"--version"}).action, CommandLine::Action::Version);
}

}  // namespace
