#include "feeder/CheckFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace feeder {

// O_NONBLOCK: opening a FIFO must not wait for a writer (it is refused as not regular).
CheckFile::CheckFile(const std::string& name)
    : file_(os::WakeOf(::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK))),
      openError_(file_ ? 0 : errno) {}

CheckFile::Status CheckFile::Stat() const {
  struct stat status {};
  if (::fstat(os::NativeOf<int>(file_.Get()), &status) != 0) {
    return {.regular = false, .size = 0, .error = errno};
  }
  return {.regular = S_ISREG(status.st_mode), .size = status.st_size, .error = 0};
}

std::int64_t CheckFile::Read(std::span<std::byte> into, int& error) {
  for (;;) {
    const ssize_t count = ::read(os::NativeOf<int>(file_.Get()), into.data(), into.size());
    if (count >= 0 || errno != EINTR) {
      error = count < 0 ? errno : 0;
      return count;
    }
  }
}

}  // namespace feeder
