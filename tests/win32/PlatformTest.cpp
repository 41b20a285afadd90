// What the program does that only Windows has: COM names, the DCB, files by their UTF-16 names,
// read as bytes, and text in UTF-16.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "feeder/CheckCycle.h"
#include "os/Error.h"
#include "os/win32/Text.h"

#include "serial/PortList.h"
#include "serial/PortName.h"
#include "serial/win32/Dcb.h"
#include "shell/CommandLine.h"
#include "shell/Platform.h"
#include "shell/PortAdvice.h"

namespace {

namespace fs = std::filesystem;

TEST(DcbTest, TheLineIsAZeroedRecordWrittenFieldByField) {
  const DCB dcb = serial::ToDcb(serial::PortSettings);
  DCB expected{};
  expected.DCBlength = sizeof expected;
  expected.BaudRate = 9600;
  expected.fBinary = TRUE;
  expected.fDtrControl = DTR_CONTROL_DISABLE;
  expected.fRtsControl = RTS_CONTROL_DISABLE;
  expected.ByteSize = 8;
  expected.Parity = NOPARITY;
  expected.StopBits = ONESTOPBIT;
  EXPECT_EQ(std::memcmp(&dcb, &expected, sizeof dcb), 0);

  const COMMTIMEOUTS timeouts = serial::ToCommTimeouts(serial::PortTimeouts);
  EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier + timeouts.ReadTotalTimeoutConstant +
                timeouts.WriteTotalTimeoutMultiplier + timeouts.WriteTotalTimeoutConstant,
            0U);

  serial::LineSettings other = serial::PortSettings;
  other.baudRate = 31250;
  other.dataBits = 7;
  other.parity = serial::Parity::Mark;
  other.stopBits = 2;
  other.ctsRtsFlow = true;
  other.rts = true;
  other.xonXoffOutput = true;
  const DCB set = serial::ToDcb(other);
  EXPECT_EQ(set.BaudRate, 31250U);
  EXPECT_EQ(set.ByteSize, 7);
  EXPECT_EQ(set.Parity, MARKPARITY);
  EXPECT_EQ(set.StopBits, TWOSTOPBITS);
  EXPECT_EQ(set.fOutxCtsFlow, 1U);
  EXPECT_EQ(set.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
  // XON/XOFF on our output only: we never send XOFF, it would land inside a file.
  EXPECT_EQ(set.fOutX, 1U);
  EXPECT_EQ(set.fInX, 0U);
  EXPECT_NE(set.XonChar, set.XoffChar);

  // A port without modem lines reads DTR and RTS back as it likes: they are not compared.
  DCB actual = dcb;
  actual.BaudRate = 115200;
  actual.fOutxCtsFlow = TRUE;
  actual.fDtrControl = DTR_CONTROL_ENABLE;
  serial::Mismatch withoutLines;
  serial::DescribeMismatch(dcb, actual, false, withoutLines);
  EXPECT_EQ(withoutLines.Text(), "speed 115200 (wanted 9600), fOutxCtsFlow on");
  serial::Mismatch withLines;
  serial::DescribeMismatch(dcb, actual, true, withLines);
  EXPECT_EQ(withLines.Text(), "speed 115200 (wanted 9600), fOutxCtsFlow on, fDtrControl 1");
}

TEST(DcbTest, TheDriversStatusSaysWhatHoldsTheLine) {
  COMSTAT status{};
  EXPECT_EQ(serial::HoldOf(status), serial::Hold::Unknown);
  status.fXoffHold = TRUE;
  EXPECT_EQ(serial::HoldOf(status), serial::Hold::Xoff);
  status.fCtsHold = TRUE;  // CTS first: it is what a printer out of paper drops
  EXPECT_EQ(serial::HoldOf(status), serial::Hold::CtsLow);
  status = COMSTAT{};
  status.fDsrHold = TRUE;
  EXPECT_EQ(serial::HoldOf(status), serial::Hold::DsrLow);
}

TEST(PortAdviceTest, APortInAnotherCaseIsTheSamePortAndNeverSuggested) {
  EXPECT_TRUE(serial::SamePort("com3", "COM3"));
  EXPECT_TRUE(serial::SamePort(R"(\\.\cnca0)", R"(\\.\CNCA0)"));
  EXPECT_TRUE(serial::SamePort(R"(\\.\COM3)", "COM3"));
  EXPECT_FALSE(serial::SamePort("COM3", "COM30"));
  EXPECT_EQ(
      shell::PortAdvice(serial::PortProblem::Absent, false,
                        {{"com3", ""}, {R"(\\.\CNCA0)", ""}, {"COM7", ""}}, "README.txt", "COM3"),
      "Other serial ports on this computer: \\\\.\\CNCA0, COM7. Start checkfeed with "
      "--port \\\\.\\CNCA0 (see README.txt).");
}

// A folder whose name is not ASCII, made the working directory for the object's life.
class NonAsciiFolder {
 public:
  NonAsciiFolder()
      : previous_(fs::current_path()),
        path_(fs::temp_directory_path() /
              fs::path(u8"checkfeed-Prüfstand-東京-" + std::u8string(1, u8'0' + Unique()))) {
    fs::create_directories(path_);
  }
  ~NonAsciiFolder() {
    fs::current_path(previous_);
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string Utf8() const {
    const std::u8string text = path_.u8string();
    return std::string(text.begin(), text.end());
  }

 private:
  static char8_t Unique() { return static_cast<char8_t>(GetCurrentProcessId() % 10); }
  fs::path previous_;
  fs::path path_;
};

TEST(CheckFileTest, FilesAreReadAsBytesByTheirUtf16Names) {
  NonAsciiFolder folder;
  // The folder named as the user would name it: --dir, in UTF-8 inside the program.
  shell::Options options;
  options.dir = folder.Utf8();
  EXPECT_EQ(shell::CheckOptions(options).Why(), "");
  ASSERT_EQ(shell::ChangeDirectory(folder.Utf8()).Why(), "");

  // Text mode would turn CR LF into LF and end the file at 0x1A.
  std::string content = "line one\r\nline two\n\x1A after the end-of-file byte\r\n";
  for (int value = 0; value < 256; ++value) {
    content += static_cast<char>(value);
  }
  std::ofstream("check1.txt", std::ios::binary) << content;
  fs::create_directory("check2.txt");

  serial::SerialLink link;  // never opened: the file is read, nothing is sent
  feeder::CheckCycle cycle(link);
  // An editor or a logger may hold the file open for writing meanwhile.
  HANDLE writer = CreateFileW(L"check1.txt", GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  cycle.TimerTimer();
  CloseHandle(writer);
  ASSERT_EQ(cycle.LastTick().size, content.size());
  EXPECT_EQ(std::memcmp(feeder::SendBuffer.data(), content.data(), content.size()), 0);
  try {
    cycle.TimerTimer();
    ADD_FAILURE() << "a folder was read as a check file";
  } catch (const feeder::TickFailure& failure) {
    EXPECT_EQ(std::string(failure.what()), "Cannot send file \"check2.txt\": not a regular file");
  }
  try {
    cycle.TimerTimer();
    ADD_FAILURE() << "a missing file was read";
  } catch (const feeder::TickFailure& failure) {
    EXPECT_EQ(std::string(failure.what()),
              "Cannot open file \"check3.txt\": " + os::ErrorText(ERROR_FILE_NOT_FOUND));
  }
  // Windows' own words, as one clause of a sentence of ours: no full stop, no line end.
  const std::string reason = os::ErrorText(ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(reason.empty());
  EXPECT_EQ(reason.find_first_of(".\r\n"), std::string::npos) << reason;
}

TEST(TextTest, TheSystemsWideTextAndUtf8RoundTripAndWhatIsNotTextIsReplaced) {
  const std::string text =
      "Pr\xC3\xBC"
      "fstand \xE6\x9D\xB1\xE4\xBA\xAC \xF0\x9F\x98\x80";
  const std::wstring wide = os::Widen(text);
  // 14 characters; the last is outside the first plane: two UTF-16 units on Windows.
  EXPECT_EQ(wide.size(), sizeof(wchar_t) == 2 ? 15U : 14U);
  EXPECT_EQ(wide[2], L'\u00FC');
  EXPECT_EQ(os::Narrow(wide), text);
  // A stray byte, a cut-off sequence, each byte of an overlong form, a lone surrogate: each is a
  // U+FFFD (a cut-off sequence is one, as Unicode recommends and Windows does).
  const std::string replaced = "\xEF\xBF\xBD";
  EXPECT_EQ(os::Narrow(os::Widen("a\xFF"
                                 "b")),
            "a" + replaced + "b");
  EXPECT_EQ(os::Narrow(os::Widen("c\xE6\x9D")), "c" + replaced);
  EXPECT_EQ(os::Narrow(os::Widen("\xC0\xAF")), replaced + replaced);
  EXPECT_EQ(os::Narrow(std::wstring{L'x', static_cast<wchar_t>(0xD800), L'y'}),
            "x" + replaced + "y");
  EXPECT_EQ(os::Widen(""), L"");
}

}  // namespace
