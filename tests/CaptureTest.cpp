// What the device answers, kept: the capture's formats, and its file when the disk fails.

#include <gtest/gtest.h>

#include <string>

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
    escaped += shell::Escaped(static_cast<std::byte>(letter));
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

}  // namespace
