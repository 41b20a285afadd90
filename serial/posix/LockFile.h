#pragma once

// The UUCP lock file that minicom, Qt's serial module and other tools look for before they open
// a port: "<directory>/LCK..<name>" holding the owner's PID as "%10d\n".

#include <string>

#include "os/Error.h"
#include "os/posix/Descriptor.h"

namespace serial {

class LockFile {
 public:
  LockFile() = default;
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;
  LockFile(LockFile&& other) noexcept = default;
  LockFile& operator=(LockFile&& other) noexcept;
  ~LockFile() { Release(); }

  // Takes the lock for `device` in `directory`, replacing a stale one left by a dead process.
  // Works when the device may be opened: the lock is held, or lock files cannot be used in
  // `directory` at all (missing or read-only: the other layers of locking still protect the
  // port). Otherwise fails with why the device is taken, e.g. "in use by process 1234".
  os::Outcome Acquire(const std::string& directory, const std::string& device);

  // Removes the lock file if this object holds it. Safe to call more than once.
  void Release();

  // The lock file's path while it is held, otherwise "".
  const std::string& Path() const { return path_; }

  // The lock file's name for `device`: "LCK.." and the device's real path below /dev with '/'
  // replaced by '_', e.g. "LCK..ttyS0", "LCK..pts_3".
  static std::string NameFor(const std::string& device);

 private:
  std::string path_;
  os::Descriptor fd_;
};

}  // namespace serial
