#include "feeder/CheckFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace feeder {

// O_NONBLOCK: opening a FIFO must not wait for a writer (it is refused as not regular).
CheckFile::CheckFile(const std::string& name)
    : native_(::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)),
      openError_(native_ < 0 ? errno : 0) {}

CheckFile::~CheckFile() {
  if (native_ >= 0) {
    ::close(static_cast<int>(native_));
  }
}

CheckFile::Status CheckFile::Stat() const {
  struct stat status {};
  if (::fstat(static_cast<int>(native_), &status) != 0) {
    return {.regular = false, .size = 0, .error = errno};
  }
  return {.regular = S_ISREG(status.st_mode), .size = status.st_size, .error = 0};
}

std::int64_t CheckFile::Read(std::span<std::byte> into, int& error) {
  for (;;) {
    const ssize_t count = ::read(static_cast<int>(native_), into.data(), into.size());
    if (count >= 0 || errno != EINTR) {
      error = count < 0 ? errno : 0;
      return count;
    }
  }
}

}  // namespace feeder
