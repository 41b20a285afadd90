// What the device answers, kept: the capture's formats, and its file when the disk fails.

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "os/Escape.h"
#include "shell/Capture.h"
#include "tests/Support.h"

namespace {

using namespace std::chrono_literals;

TEST(CaptureTest, EachBurstIsOneEntryAfterTheSendItAnswersWithEveryByteAsIs) {
  std::string kept;
  const auto capture = [&kept](shell::CaptureFormat format) {
    kept.clear();
    return shell::Capture(format, 50ms,
                          [&kept](const std::string& text, std::size_t, bool) { kept += text; });
  };
  const shell::WallClock::time_point when{1'796'637'620'015ms};
  const std::string stamp = shell::IsoTime(when);
  const os::Clock::time_point at{};
  std::string every;
  for (int value = 0; value < 256; ++value) {
    every += static_cast<char>(value);
  }
  const auto bytes = [](const std::string& text) { return testing_support::AsBytes(text); };

  // Text: printable ASCII as it is, every other byte escaped; two reads within the silence are
  // one burst, one after it another; a send ends the burst under way.
  shell::Capture text = capture(shell::CaptureFormat::Text);
  text.Sent(when, "check3.txt", 55);
  text.Received(bytes("AC"), when, at);
  text.Received(bytes("K\r\n"), when, at + 49ms);
  text.Received(bytes(every), when, at + 100ms);
  EXPECT_EQ(text.QuietAt(), at + 150ms);
  text.Sent(when, "check4.txt", 1);
  EXPECT_EQ(text.QuietAt(), std::nullopt);
  std::string escaped;
  for (const char letter : every) {
    escaped += os::Escaped(static_cast<std::byte>(letter));
  }
  EXPECT_EQ(kept, stamp + " > check3.txt, 55 bytes\n" + stamp + " < ACK\\r\\n\n" + stamp + " < " +
                      escaped + "\n" + stamp + " > check4.txt, 1 byte\n");
  EXPECT_EQ(escaped.substr(0, 12), "\\x00\\x01\\x02");
  EXPECT_EQ(
      escaped.find_first_not_of(
          "\\ !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[]^_`abcdefghijklmnop"
          "qrstuvwxyz{|}~abcdefnrtx"),
      std::string::npos);  // nothing but printable ASCII
  EXPECT_NE(escaped.find("\\x7f\\x80"), std::string::npos);
  EXPECT_NE(escaped.find("\\xff"), std::string::npos);
  // Undone, the escapes give every byte back; a backslash the device sent is one, never the start
  // of an escape ("\\x00" as four characters is not a NUL).
  EXPECT_EQ(os::Unescaped(escaped), every);
  const std::string backslash = "\\x00";
  std::string written;
  for (const char letter : backslash) {
    written += os::Escaped(static_cast<std::byte>(letter));
  }
  EXPECT_EQ(written, "\\\\x00");
  EXPECT_EQ(os::Unescaped(written), backslash);
  EXPECT_EQ(os::Unescaped("bare \\"), std::nullopt);
  EXPECT_EQ(os::Unescaped("\\x4"), std::nullopt);

  // Hex: rows of sixteen with their offset in what the device sent, the last row at the end.
  shell::Capture hex = capture(shell::CaptureFormat::Hex);
  hex.Received(bytes(std::string("ACK.\r\n\0\xff 0123456789abcdef", 25)), when, at);
  hex.EndBurst();
  hex.Received(bytes("!"), when, at + 1s);
  hex.EndBurst();
  EXPECT_EQ(kept,
            stamp + " <\n" +
                "00000000  41 43 4b 2e 0d 0a 00 ff  20 30 31 32 33 34 35 36  |ACK..... 0123456|\n"
                "00000010  37 38 39 61 62 63 64 65  66                       |789abcdef|\n" +
                stamp + " <\n" +
                "00000019  21                                                |!|\n");

  // Raw: the bytes alone.
  shell::Capture raw = capture(shell::CaptureFormat::Raw);
  raw.Sent(when, "check1.txt", 3);
  raw.Received(bytes(every), when, at);
  raw.Note(when, "the driver lost 3 of the bytes the device sent (an overrun)");
  raw.EndBurst();
  EXPECT_EQ(kept, every);
}

TEST(CaptureFileTest, AFullDiskLosesWholeEntriesSaysSoOnceAndMarksTheGapOnceThereIsRoom) {
  const shell::WallClock::time_point when{1'796'637'620'015ms};
  const std::string stamp = shell::IsoTime(when);
  const std::string stamped = std::regex_replace(stamp, std::regex("[.+]"), "\\$&");
  const os::Clock::time_point at{};
  const auto bytes = [](const std::string& text) { return testing_support::AsBytes(text); };
  for (const shell::CaptureFormat format :
       {shell::CaptureFormat::Text, shell::CaptureFormat::Raw}) {
    const bool text = format == shell::CaptureFormat::Text;
    testing_support::MemoryFile disk;
    std::vector<std::pair<std::string, bool>> told;
    shell::CaptureFile file(disk, format, [&told](const std::string& line, bool failed) {
      told.emplace_back(line, failed);
    });
    shell::Capture capture(format, 50ms,
                           [&file](const std::string& more, std::size_t count, bool begins) {
                             file.Write(more, count, begins);
                           });
    capture.Sent(when, "check1.txt", 3);
    capture.Received(bytes("ANSW"), when, at);
    const std::string before = disk.text;
    disk.full = true;
    capture.Received(bytes("ER"), when, at + 10ms);  // the disk fills in the middle of a burst
    capture.EndBurst();
    capture.Sent(when, "check2.txt", 3);
    capture.Received(bytes("12345"), when, at + 1s);
    capture.EndBurst();
    // Nothing of the entry cut short stays: no half line, no half answer (raw has no entries:
    // each piece is whole).
    EXPECT_EQ(before, text ? stamp + " > check1.txt, 3 bytes\n" + stamp + " < ANSW" : "ANSW");
    EXPECT_EQ(disk.text, text ? stamp + " > check1.txt, 3 bytes\n" : "ANSW");
    ASSERT_EQ(told.size(), 1U);
    EXPECT_EQ(told[0].first,
              "Cannot write to the capture \"capture.log\": No space left on device; what the "
              "device sends is lost until it can be written again");
    EXPECT_TRUE(told[0].second);
    EXPECT_EQ(file.Failing(), "No space left on device");

    // Room again: the mark of the gap first (text), then what comes; said once an answer has gone
    // whole (a disk with room for a line, and not for an answer, is still full).
    disk.full = false;
    capture.Sent(when, "check3.txt", 3);
    capture.Received(bytes("OK"), when, at + 2s);
    capture.EndBurst();
    EXPECT_EQ(told.size(), text ? 1U : 2U);
    capture.Sent(when, "check4.txt", 3);
    EXPECT_EQ(file.Failing(), "");
    ASSERT_EQ(told.size(), 2U);
    EXPECT_EQ(told[1].first,
              "The capture \"capture.log\" is written again: " + std::string(text ? "11" : "7") +
                  " bytes the device sent were lost" + std::string(text ? ", marked in it" : ""));
    EXPECT_FALSE(told[1].second);
    if (text) {
      const std::regex written(stamped + " > check1\\.txt, 3 bytes\n" +
                               R"(\S+ ! 11 bytes the device sent and 1 line of the capture's own )"
                               R"(were not kept: it could not be written from \S+ \(No space left )"
                               R"(on device\)\n)" +
                               stamped + " > check3\\.txt, 3 bytes\n" + stamped + " < OK\n" +
                               stamped + " > check4\\.txt, 3 bytes\n");
      EXPECT_TRUE(std::regex_match(disk.text, written)) << disk.text;
    } else {
      EXPECT_EQ(disk.text, "ANSWOK");
    }
  }
}

// A log or capture that logrotate renames away is made anew under its name; with logrotate's
// `create`, another file is already there under the name, on the same device: that one is written
// to, not the old one.
TEST(AppendFileTest, AFileRotatedAwayOrMadeAnewUnderItsNameIsWrittenUnderItsName) {
  const testing_support::ScratchDirectory scratch;
  shell::AppendFile file;
  ASSERT_EQ(file.Open("run.log").Why(), "");
  ASSERT_EQ(file.Append("one\n").Why(), "");
  std::filesystem::rename("run.log", "run.log.1");
  ASSERT_EQ(file.Append("two\n").Why(), "");
  EXPECT_EQ(file.Generation(), 1U);
  std::filesystem::rename("run.log", "run.log.2");
  testing_support::WriteFile("run.log", "");
  ASSERT_EQ(file.Append("three\n").Why(), "");
  EXPECT_EQ(testing_support::ReadText("run.log.1"), "one\n");
  EXPECT_EQ(testing_support::ReadText("run.log.2"), "two\n");
  EXPECT_EQ(testing_support::ReadText("run.log"), "three\n");
  // Cut back, as an entry cut short is.
  EXPECT_EQ(file.End(), 6U);
  ASSERT_EQ(file.CutTo(3).Why(), "");
  ASSERT_EQ(file.Append("ee\n").Why(), "");
  EXPECT_EQ(testing_support::ReadText("run.log"), "three\n");
}

}  // namespace
