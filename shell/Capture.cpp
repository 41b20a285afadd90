#include "shell/Capture.h"

#include <array>
#include <cstdio>
#include <utility>

#include "os/Error.h"
#include "os/Escape.h"

namespace shell {
namespace {

constexpr std::size_t kRow = 16;

std::string Hex(unsigned value, int digits) {
  std::array<char, 16> text{};
  std::snprintf(text.data(), text.size(), "%0*x", digits, value);
  return text.data();
}

}  // namespace

Capture::Capture(CaptureFormat format, std::chrono::nanoseconds silence, CaptureWrite write)
    : format_(format), silence_(silence), write_(std::move(write)) {}

void Capture::Stamp(WallClock::time_point when, char mark, const std::string& text) {
  if (format_ != CaptureFormat::Raw) {
    write_(IsoTime(when) + " " + mark + (text.empty() ? "" : " " + text) + "\n", 0, true);
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

void Capture::Verdict(WallClock::time_point when, const std::string& text) {
  EndBurst();
  Stamp(when, '=', text);
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
  const bool begins = !inBurst_;
  if (begins) {
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
        text += os::Escaped(byte);
      }
      write_(text, bytes.size(), begins);
      break;
    case CaptureFormat::Hex:
      if (!text.empty()) {
        write_(text, 0, true);
      }
      row_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      HexRows(false);
      break;
    case CaptureFormat::Raw:
      // Raw has no entries: each piece stands alone.
      write_(std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()), bytes.size(),
             true);
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
    write_(text, start, false);
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
    write_("\n", 0, false);
  } else if (format_ == CaptureFormat::Hex) {
    HexRows(true);
  }
}

CaptureFile::CaptureFile(Appendable& file, CaptureFormat format, Tell tell)
    : file_(file), marked_(format != CaptureFormat::Raw), tell_(std::move(tell)) {}

void CaptureFile::Lose(std::size_t bytes, bool begins) {
  lostBytes_ += bytes;
  toldBytes_ += bytes;
  if (begins && bytes == 0) {
    ++lostLines_;
  }
}

void CaptureFile::Recovered() {
  tell_("The capture " + os::Quoted(file_.Path()) + " is written again: " +
            std::to_string(toldBytes_) + (toldBytes_ == 1 ? " byte" : " bytes") +
            " the device sent were lost" + (marked_ ? ", marked in it" : ""),
        false);
  failing_.clear();
  toldBytes_ = 0;
  wholeSince_ = false;
}

void CaptureFile::Write(const std::string& text, std::size_t bytes, bool begins) {
  if (begins) {
    // Written again once an answer (an entry of the device's bytes) has gone whole since the
    // failure: a disk with room for a short line but not for an answer is still full.
    if (!failing_.empty() && wholeSince_ && !dropping_ && entryBytes_ > 0) {
      Recovered();
    }
    dropping_ = false;
    // Then, before anything else, the mark of what is missing, whole.
    if (!failing_.empty() && marked_ && (lostBytes_ > 0 || lostLines_ > 0)) {
      std::string lost =
          std::to_string(lostBytes_) + (lostBytes_ == 1 ? " byte" : " bytes") + " the device sent";
      if (lostLines_ > 0) {
        lost += " and " + std::to_string(lostLines_) + " line" + (lostLines_ == 1 ? "" : "s") +
                " of the capture's own";
      }
      if (!file_
               .Append(IsoTime(WallClock::now()) + " ! " + lost + " were not kept: it could not " +
                       "be written from " + IsoTime(since_) + " (" + failing_ + ")\n")
               .Worked()) {
        Lose(bytes, begins);
        dropping_ = true;
        return;
      }
      lostBytes_ = 0;
      lostLines_ = 0;
    }
    wholeSince_ = !failing_.empty();
    entryStart_ = file_.End();
    entryGeneration_ = file_.Generation();
    entryBytes_ = 0;
  }
  if (dropping_) {
    Lose(bytes, false);
    return;
  }
  const os::Outcome appended = file_.Append(text);
  if (appended.Worked()) {
    entryBytes_ += bytes;
    if (!failing_.empty() && !marked_) {
      Recovered();  // raw has no entries: each piece is whole
    }
    return;
  }
  // An append is whole or not there; what the entry wrote before it is taken back out, so that
  // no entry is half there. The file made anew under its name meanwhile holds nothing older.
  if (!begins && entryStart_) {
    [[maybe_unused]] const os::Outcome cut =
        file_.CutTo(file_.Generation() == entryGeneration_ ? *entryStart_ : 0);
  }
  Lose(entryBytes_ + bytes, begins && entryBytes_ + bytes == 0);
  entryBytes_ = 0;
  dropping_ = true;
  wholeSince_ = false;
  if (failing_.empty()) {
    failing_ = appended.Why();
    since_ = WallClock::now();
    tell_("Cannot write to the capture " + os::Quoted(file_.Path()) + ": " + appended.Why() +
              "; what the device sends is lost until it can be written again",
          true);
  }
}

}  // namespace shell
