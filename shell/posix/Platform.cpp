#include "shell/Platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <filesystem>

#include "os/Error.h"
#include "os/posix/Descriptor.h"

namespace shell {

std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + 1, argv + argc);
}

os::Outcome ReadableDirectory(const std::string& dir) {
  struct stat status {};
  if (::stat(dir.c_str(), &status) != 0) {
    return os::Outcome::SystemFailed(errno);
  }
  if (!S_ISDIR(status.st_mode)) {
    return os::Outcome::Failed("not a directory");
  }
  if (::access(dir.c_str(), R_OK | X_OK) != 0) {
    return os::Outcome::SystemFailed(errno);
  }
  return {};
}

os::Outcome ChangeDirectory(const std::string& dir) {
  return ::chdir(dir.c_str()) == 0 ? os::Outcome() : os::Outcome::SystemFailed(errno);
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

os::Outcome AppendFile::Open(const std::string& path) {
  std::error_code error;
  absolute_ = std::filesystem::absolute(path, error).string();
  path_ = path;
  return OpenNamed();
}

bool AppendFile::StillNamed() const {
  struct stat named {};
  struct stat open {};
  return ::stat(absolute_.c_str(), &named) == 0 &&
         ::fstat(os::NativeOf<int>(file_.Get()), &open) == 0 && named.st_dev == open.st_dev &&
         named.st_ino == open.st_ino;
}

os::Outcome AppendFile::OpenNamed() {
  os::Descriptor file(
      ::open(absolute_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644));
  if (!file) {
    return os::Outcome::SystemFailed(errno);
  }
  struct stat status {};
  if (::fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return os::Outcome::Failed("not a regular file");
  }
  const bool anew = static_cast<bool>(file_);
  file_ = std::move(file);
  generation_ += anew ? 1 : 0;
  return {};
}

os::Outcome AppendFile::Append(const std::string& text) {
  if (!StillNamed()) {
    if (os::Outcome reopened = OpenNamed(); !reopened.Worked()) {
      return reopened;
    }
  }
  const int fd = os::NativeOf<int>(file_.Get());
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t count = ::write(fd, text.data() + done, text.size() - done);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      const int error = count < 0 ? errno : EIO;
      // A full disk takes part of a write: what it took is cut back out.
      if (const auto end = End(); done > 0 && end && *end >= done) {
        [[maybe_unused]] const os::Outcome cut = CutTo(*end - done);
      }
      return os::Outcome::SystemFailed(error);
    }
    done += static_cast<std::size_t>(count);
  }
  return {};
}

std::optional<std::uint64_t> AppendFile::End() const {
  struct stat status {};
  if (!file_ || ::fstat(os::NativeOf<int>(file_.Get()), &status) != 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(status.st_size);
}

os::Outcome AppendFile::CutTo(std::uint64_t size) {
  return ::ftruncate(os::NativeOf<int>(file_.Get()), static_cast<off_t>(size)) == 0
             ? os::Outcome()
             : os::Outcome::SystemFailed(errno);
}

std::string StopHelp() {
  return R"(Close the window, or send SIGTERM, SIGINT or SIGHUP, to stop: the port is
closed and its lock released.
)";
}

}  // namespace shell
