#pragma once

// What a port on the network still has to send, in the order it is to go: the device's bytes
// (with 0xFF doubled where the connection speaks telnet) and telnet's own words (answers to the
// server's requests, RFC 2217 commands) in one queue, so that a word of telnet never lands
// between the two halves of a doubled 0xFF or inside another word, and nothing is lost because
// the connection took only part of it. Pure: serial/network/NetworkPort.cpp sends what Next()
// gives and says how much went with Took().

#include <cstddef>
#include <deque>
#include <span>
#include <vector>

namespace serial::network {

class Outgoing {
 public:
  // Queues the device's `bytes`, escaped for telnet when `telnet` (0xFF doubled).
  void Data(std::span<const std::byte> bytes, bool telnet);

  // Queues one whole word of telnet (or several), to go after everything queued before it.
  void Command(std::span<const std::byte> bytes);

  // What to send next: the rest of the first thing queued, or nothing. Without `data` (the server
  // asked to wait) only telnet's words, and what finishes a doubled 0xFF begun: never more of the
  // device's bytes.
  std::span<const std::byte> Next(bool data = true) const;

  // `count` bytes of what Next() gave were sent. Returns how many of the device's bytes have now
  // gone whole (a doubled 0xFF once both halves have).
  std::size_t Took(std::size_t count);

  // Throws away the device's bytes not yet sent, but for the half of a doubled 0xFF whose first
  // half went; telnet's words stay, in order.
  void DropData();

  bool Empty() const { return queue_.empty(); }

  // The device's bytes queued and not yet sent whole.
  std::size_t DataQueued() const { return dataQueued_; }

  // The device's bytes sent whole since the queue was made.
  std::size_t DataSent() const { return dataSent_; }

 private:
  struct Piece {
    std::vector<std::byte> bytes;  // as they go on the wire
    bool data = false;             // the device's bytes, or telnet's words
  };

  // Whether `sent` bytes into a piece of data is between two of the device's bytes, not inside a
  // doubled 0xFF.
  bool Whole(const Piece& piece, std::size_t sent) const;
  // The device's bytes among the first `count` bytes of a piece of data.
  std::size_t DeviceBytes(const Piece& piece, std::size_t count) const;

  std::deque<Piece> queue_;
  std::size_t sent_ = 0;  // of the first piece
  std::size_t dataQueued_ = 0;
  std::size_t dataSent_ = 0;
  bool telnet_ = false;  // whether 0xFF is doubled in the pieces of data
};

}  // namespace serial::network
