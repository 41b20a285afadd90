#include "shell/Capture.h"

#include <array>
#include <cstdio>
#include <utility>

namespace shell {
namespace {

constexpr std::size_t kRow = 16;

std::string Hex(unsigned value, int digits) {
  std::array<char, 16> text{};
  std::snprintf(text.data(), text.size(), "%0*x", digits, value);
  return text.data();
}

}  // namespace

std::string Escaped(std::byte byte) {
  const auto value = std::to_integer<unsigned char>(byte);
  switch (value) {
    case '\r':
      return "\\r";
    case '\n':
      return "\\n";
    case '\t':
      return "\\t";
    case '\\':
      return "\\\\";
    default:
      break;
  }
  if (value >= 0x20 && value < 0x7f) {
    return std::string(1, static_cast<char>(value));
  }
  return "\\x" + Hex(value, 2);
}

Capture::Capture(CaptureFormat format, std::chrono::nanoseconds silence,
                 std::function<void(const std::string& text)> write)
    : format_(format), silence_(silence), write_(std::move(write)) {}

void Capture::Stamp(WallClock::time_point when, char mark, const std::string& text) {
  if (format_ != CaptureFormat::Raw) {
    write_(IsoTime(when) + " " + mark + (text.empty() ? "" : " " + text) + "\n");
  }
}

void Capture::Sent(WallClock::time_point when, const std::string& file, std::size_t size) {
  EndBurst();  // what came before the send answers what went before it
  Stamp(when, '>', file + ", " + std::to_string(size) + (size == 1 ? " byte" : " bytes"));
}

void Capture::Note(WallClock::time_point when, const std::string& text) {
  EndBurst();
  Stamp(when, '!', text);
}

void Capture::Received(std::span<const std::byte> bytes, WallClock::time_point when,
                       os::Clock::time_point at) {
  if (bytes.empty()) {
    return;
  }
  if (inBurst_ && at - lastByte_ > silence_) {
    EndBurst();
  }
  std::string text;
  if (!inBurst_) {
    inBurst_ = true;
    if (format_ == CaptureFormat::Text) {
      text = IsoTime(when) + " < ";
    } else if (format_ == CaptureFormat::Hex) {
      text = IsoTime(when) + " <\n";
    }
  }
  lastByte_ = at;
  switch (format_) {
    case CaptureFormat::Text:
      for (const std::byte byte : bytes) {
        text += Escaped(byte);
      }
      write_(text);
      break;
    case CaptureFormat::Hex:
      if (!text.empty()) {
        write_(text);
      }
      row_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      HexRows(false);
      break;
    case CaptureFormat::Raw:
      write_(std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
      break;
  }
}

void Capture::HexRows(bool all) {
  std::string text;
  std::size_t start = 0;
  while (row_.size() - start >= kRow || (all && start < row_.size())) {
    const std::size_t count = std::min(kRow, row_.size() - start);
    std::string hex;
    std::string letters;
    for (std::size_t i = 0; i < kRow; ++i) {
      if (i < count) {
        const auto value = static_cast<unsigned char>(row_[start + i]);
        hex += Hex(value, 2) + " ";
        letters += value >= 0x20 && value < 0x7f ? static_cast<char>(value) : '.';
      } else {
        hex += "   ";
      }
      if (i == 7) {
        hex += " ";
      }
    }
    text += Hex(static_cast<unsigned>(offset_), 8) + "  " + hex + " |" + letters + "|\n";
    offset_ += count;
    start += count;
  }
  row_.erase(0, start);
  if (!text.empty()) {
    write_(text);
  }
}

std::optional<os::Clock::time_point> Capture::QuietAt() const {
  if (!inBurst_) {
    return std::nullopt;
  }
  return lastByte_ + silence_;
}

void Capture::EndBurst() {
  if (!inBurst_) {
    return;
  }
  inBurst_ = false;
  if (format_ == CaptureFormat::Text) {
    write_("\n");
  } else if (format_ == CaptureFormat::Hex) {
    HexRows(true);
  }
}

}  // namespace shell
