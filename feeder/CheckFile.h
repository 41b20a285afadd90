#pragma once

// A check file opened read-only: what feeder/posix/CheckFile.cpp and feeder/win32/CheckFile.cpp
// each provide. Always bytes: no translation of line ends, and no byte ends a file early.
// Errors are the platform's own numbers, for os::ErrorText.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "os/Wait.h"

namespace feeder {

class CheckFile {
 public:
  // Opens `name`, relative to the working directory. A FIFO must not block the open.
  explicit CheckFile(const std::string& name);

  // 0, or why the file could not be opened.
  int OpenError() const { return openError_; }

  struct Status {
    bool regular = false;   // not a directory, FIFO or device
    std::int64_t size = 0;  // in bytes
    int error = 0;          // why the status could not be taken, or 0
  };
  Status Stat() const;

  // Reads up to `into.size()` bytes: returns the count, 0 at the end of the file, or -1 with the
  // reason in `error`.
  std::int64_t Read(std::span<std::byte> into, int& error);

 private:
  os::OwnedWake file_;  // none when it did not open
  int openError_ = 0;
};

}  // namespace feeder
