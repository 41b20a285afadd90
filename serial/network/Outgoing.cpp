#include "serial/network/Outgoing.h"

#include <algorithm>

namespace serial::network {
namespace {

constexpr std::byte kIac{0xFF};

}  // namespace

void Outgoing::Data(std::span<const std::byte> bytes, bool telnet) {
  if (bytes.empty()) {
    return;
  }
  telnet_ = telnet;
  Piece piece{.bytes = {}, .data = true};
  piece.bytes.reserve(bytes.size() +
                      static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), kIac)));
  for (const std::byte byte : bytes) {
    piece.bytes.push_back(byte);
    if (telnet && byte == kIac) {
      piece.bytes.push_back(byte);
    }
  }
  queue_.push_back(std::move(piece));
  dataQueued_ += bytes.size();
}

void Outgoing::Command(std::span<const std::byte> bytes) {
  if (!bytes.empty()) {
    queue_.push_back({.bytes = {bytes.begin(), bytes.end()}, .data = false});
  }
}

bool Outgoing::Whole(const Piece& piece, std::size_t sent) const {
  if (!telnet_ || !piece.data || sent == 0) {
    return true;
  }
  // The 0xFFs just before `sent` come in pairs from the start of their run: an odd run ends
  // between the halves of a pair.
  std::size_t run = 0;
  while (run < sent && piece.bytes[sent - 1 - run] == kIac) {
    ++run;
  }
  return run % 2 == 0;
}

std::size_t Outgoing::DeviceBytes(const Piece& piece, std::size_t count) const {
  if (!piece.data) {
    return 0;
  }
  const auto doubled = static_cast<std::size_t>(std::count(
      piece.bytes.begin(), piece.bytes.begin() + static_cast<std::ptrdiff_t>(count), kIac));
  // Outside telnet every byte is the device's; in it, two 0xFFs are one, a lone first half none.
  return telnet_ ? count - doubled + doubled / 2 : count;
}

std::span<const std::byte> Outgoing::Next(bool data) const {
  if (queue_.empty()) {
    return {};
  }
  const Piece& first = queue_.front();
  const std::span<const std::byte> rest = std::span(first.bytes).subspan(sent_);
  if (data || !first.data) {
    return rest;
  }
  return Whole(first, sent_) ? std::span<const std::byte>() : rest.first(1);
}

std::size_t Outgoing::Took(std::size_t count) {
  if (queue_.empty() || count == 0) {
    return 0;
  }
  Piece& first = queue_.front();
  count = std::min(count, first.bytes.size() - sent_);
  const std::size_t before = DeviceBytes(first, sent_);
  sent_ += count;
  const std::size_t gone = DeviceBytes(first, sent_) - before;
  dataQueued_ -= gone;
  dataSent_ += gone;
  if (sent_ == first.bytes.size()) {
    queue_.pop_front();
    sent_ = 0;
  }
  return gone;
}

void Outgoing::DropData() {
  std::deque<Piece> kept;
  bool firstKept = false;  // and with it what was sent of it
  for (std::size_t i = 0; i < queue_.size(); ++i) {
    Piece& piece = queue_[i];
    if (piece.data && (i > 0 || sent_ == 0)) {
      continue;  // not begun: thrown away
    }
    if (piece.data) {
      // Begun: cut where it stands, or after the other half of a doubled 0xFF.
      piece.bytes.resize(Whole(piece, sent_) ? sent_ : sent_ + 1);
    }
    firstKept = firstKept || i == 0;
    kept.push_back(std::move(piece));
  }
  queue_ = std::move(kept);
  if (!firstKept) {
    sent_ = 0;
  }
  dataQueued_ = 0;
  if (firstKept && queue_.front().data) {
    Piece& first = queue_.front();
    dataQueued_ = DeviceBytes(first, first.bytes.size()) - DeviceBytes(first, sent_);
    if (sent_ == first.bytes.size()) {
      queue_.pop_front();
      sent_ = 0;
    }
  }
}

}  // namespace serial::network
