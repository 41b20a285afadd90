#include "shell/Platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdlib>

#include "os/Error.h"

namespace shell {

std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + 1, argv + argc);
}

std::string DirectoryProblem(const std::string& dir) {
  struct stat status {};
  if (::stat(dir.c_str(), &status) != 0) {
    return os::ErrorText(errno);
  }
  if (!S_ISDIR(status.st_mode)) {
    return "not a directory";
  }
  if (::access(dir.c_str(), R_OK | X_OK) != 0) {
    return os::ErrorText(errno);
  }
  return {};
}

std::string ChangeDirectory(const std::string& dir) {
  return ::chdir(dir.c_str()) == 0 ? std::string() : os::ErrorText(errno);
}

LocalTime ToLocalTime(std::time_t when) {
  LocalTime local;
  ::localtime_r(&when, &local.fields);
  local.offsetSeconds = local.fields.tm_gmtoff;
  return local;
}

bool IsJournal(std::FILE* out) {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) {
    return false;
  }
  std::uintmax_t device = 0;
  std::uintmax_t inode = 0;
  if (std::sscanf(stream, "%" SCNuMAX ":%" SCNuMAX, &device, &inode) != 2) {
    return false;
  }
  // Only when it is this stream: a service whose stdout was sent elsewhere keeps its times.
  struct stat status {};
  return ::fstat(::fileno(out), &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

void WriteOut(std::FILE* out, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), out);
  std::fflush(out);
}

std::string PortHelp() {
  return "the serial port: a path such as /dev/ttyUSB0 or /dev/serial/by-id/..., or COMn for "
         "/dev/ttyS<n-1>; COM1 is /dev/ttyS0.";
}

std::string DocsName() {
  return "man checkfeed";
}

void ShowText(std::FILE* out, const std::string& /*title*/, const std::string& text,
              bool /*error*/) {
  WriteOut(out, text);
}

std::string AppendFile::Open(const std::string& path) {
  Close();
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) {
    return os::ErrorText(errno);
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    return "not a regular file";
  }
  native_ = fd;
  path_ = path;
  return {};
}

int AppendFile::Append(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t count =
        ::write(static_cast<int>(native_), text.data() + done, text.size() - done);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      return count < 0 ? errno : EIO;
    }
    done += static_cast<std::size_t>(count);
  }
  return 0;
}

void AppendFile::Close() {
  if (native_ != kClosed) {
    ::close(static_cast<int>(native_));
    native_ = kClosed;
  }
}

std::string StopHelp() {
  return R"(Close the window, or send SIGTERM, SIGINT or SIGHUP, to stop: the port is
closed and its lock released.
)";
}

}  // namespace shell
