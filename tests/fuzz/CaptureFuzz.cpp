// The capture's formats fed what a device sends, in reads of any size at any times, with sends and
// notes between them: every entry is whole, and each format gives the device's bytes back as they
// came (text through its escapes, hex through its rows, raw as it is). Text that is not the text
// format's is refused by the unescaping, never taken for bytes.
//
//   input: a byte that picks the format; then, again and again, a byte that says what happens
//   (low bits: how many bytes the device sends now, from the input; high bits: how long after
//   the last read, or a send or a note first)

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "os/Escape.h"
#include "shell/Capture.h"
#include "tests/fuzz/Fuzz.h"

namespace {

using namespace std::chrono_literals;

int Hex(char letter) {
  return letter <= '9' ? letter - '0' : letter - 'a' + 10;
}

}  // namespace

using fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  // Whatever text is unescaped: bytes, or a refusal, and bytes escaped again come back.
  const std::string text(reinterpret_cast<const char*>(input), size);
  if (const auto bytes = os::Unescaped(text)) {
    std::string again;
    for (const char byte : *bytes) {
      again += os::Escaped(static_cast<std::byte>(byte));
    }
    Require(os::Unescaped(again) == bytes);
  }
  if (size == 0) {
    return 0;
  }
  const auto format = static_cast<shell::CaptureFormat>(input[0] % 3);
  std::string written;
  bool open = false;  // an entry of the text or hex format is under way
  shell::Capture capture(format, 50ms, [&](const std::string& more, std::size_t, bool begins) {
    // Raw has no entries; the others begin each on a line of its own.
    Require(format == shell::CaptureFormat::Raw || !begins || written.empty() ||
            written.back() == '\n');
    written += more;
    open = format != shell::CaptureFormat::Raw;
  });
  const shell::WallClock::time_point when{1'796'637'620'015ms};
  os::Clock::time_point at{};
  std::string sent;
  for (std::size_t i = 1; i < size;) {
    const std::uint8_t step = input[i++];
    if (step >> 6 == 3) {
      if (step & 1) {
        capture.Sent(when, "check3.txt", step);
      } else {
        capture.Note(when, "the driver lost 3 of the bytes the device sent (an overrun)");
      }
      continue;
    }
    at += std::chrono::milliseconds(20 * (step >> 6));  // 0, 20 or 40 ms: a burst, or a new one
    const std::size_t count = std::min<std::size_t>(step & 0x3f, size - i);
    const std::span<const std::byte> bytes = std::as_bytes(std::span(input + i, count));
    i += count;
    capture.Received(bytes, when, at);
    sent.append(reinterpret_cast<const char*>(input + i - count), count);
  }
  capture.EndBurst();
  Require(format == shell::CaptureFormat::Raw || written.empty() || written.back() == '\n');
  // The device's bytes back from what was written.
  std::string back;
  std::size_t start = 0;
  for (std::size_t end; format != shell::CaptureFormat::Raw &&
                        (end = written.find('\n', start)) != std::string::npos;
       start = end + 1) {
    const std::string line = written.substr(start, end - start);
    if (format == shell::CaptureFormat::Text && line.size() > 32 &&
        line.compare(29, 3, " < ") == 0) {
      const auto bytes = os::Unescaped(std::string_view(line).substr(32));
      Require(bytes.has_value());
      back += *bytes;
    } else if (format == shell::CaptureFormat::Hex && line.size() >= 62 &&
               line.compare(8, 2, "  ") == 0 && line.compare(59, 2, " |") == 0) {
      for (std::size_t column = 10; column < 59; column += 3) {
        column += column == 34 ? 1 : 0;
        if (line[column] != ' ') {
          back += static_cast<char>(Hex(line[column]) * 16 + Hex(line[column + 1]));
        }
      }
    }
  }
  Require((format == shell::CaptureFormat::Raw ? written : back) == sent);
  return 0;
}
