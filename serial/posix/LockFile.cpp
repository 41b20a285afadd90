#include "serial/posix/LockFile.h"

#include "os/posix/Descriptor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

namespace serial {
namespace {

bool SameFile(int fd, const std::string& path) {
  struct stat opened {};
  struct stat named {};
  return ::fstat(fd, &opened) == 0 && ::stat(path.c_str(), &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// The PID written in a lock file, or 0 when there is none that can be read.
pid_t ReadOwner(int fd) {
  std::array<char, 64> text{};
  const ssize_t length = ::pread(fd, text.data(), text.size() - 1, 0);
  if (length <= 0) {
    return 0;
  }
  const char* begin = text.data();
  const char* end = begin + length;
  while (begin < end && (*begin == ' ' || *begin == '\t')) {
    ++begin;
  }
  long pid = 0;
  const auto [rest, error] = std::from_chars(begin, end, pid);
  if (error != std::errc{} || pid <= 0 || pid > INT_MAX) {
    return 0;
  }
  return static_cast<pid_t>(pid);
}

bool ProcessExists(pid_t pid) {
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

enum class Existing { Held, Stale, Gone };

// Looks at the lock file already at `path`. When it is stale this also removes it.
Existing Inspect(const std::string& path, pid_t& owner) {
  os::Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.Get() < 0) {
    return errno == ENOENT ? Existing::Gone : Existing::Held;
  }
  owner = ReadOwner(fd.Get());
  // A holder that keeps its lock file flocked is alive whatever PID the file shows.
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    return Existing::Held;
  }
  // Someone may have replaced the file between our open and our flock.
  if (!SameFile(fd.Get(), path)) {
    return Existing::Gone;
  }
  if (owner != 0 && ProcessExists(owner)) {
    return Existing::Held;
  }
  // Still holding the flock, so no one else who inspects it can decide the same at once.
  ::unlink(path.c_str());
  return Existing::Stale;
}

}  // namespace

LockFile& LockFile::operator=(LockFile&& other) noexcept {
  if (this != &other) {
    Release();
    path_ = std::move(other.path_);
    fd_ = std::move(other.fd_);
  }
  return *this;
}

std::string LockFile::NameFor(const std::string& device) {
  std::string name = device;
  if (const std::unique_ptr<char, decltype(&std::free)> real(::realpath(device.c_str(), nullptr),
                                                             &std::free);
      real) {
    name = real.get();
  }
  if (name.starts_with("/dev/")) {
    name.erase(0, 5);
  }
  while (name.starts_with('/')) {
    name.erase(0, 1);
  }
  for (char& c : name) {
    if (c == '/') {
      c = '_';
    }
  }
  return "LCK.." + name;
}

os::Outcome LockFile::Acquire(const std::string& directory, const std::string& device) {
  Release();
  const std::string path = directory + "/" + NameFor(device);

  // The file is written and flocked under a private name first, then linked into place, so no
  // one can ever see a lock file without its PID.
  std::string draft = directory + "/LCK.draft.XXXXXX";
  os::Descriptor fd(::mkostemp(draft.data(), O_CLOEXEC));
  if (fd.Get() < 0) {
    return {};  // no usable lock directory: go on with the device's own locks
  }
  ::fchmod(fd.Get(), 0644);
  std::array<char, 16> pid{};
  const int length = std::snprintf(pid.data(), pid.size(), "%10d\n", static_cast<int>(::getpid()));
  const bool written = ::write(fd.Get(), pid.data(), static_cast<std::size_t>(length)) == length;
  // Keeping it flocked also stops tools that judge by flock from calling it stale.
  if (!written || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    ::unlink(draft.c_str());
    return {};
  }

  std::string busy;
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (::link(draft.c_str(), path.c_str()) == 0) {
      ::unlink(draft.c_str());
      path_ = path;
      fd_ = std::move(fd);
      return {};
    }
    if (errno != EEXIST) {
      ::unlink(draft.c_str());
      return {};
    }
    pid_t owner = 0;
    if (Inspect(path, owner) == Existing::Held) {
      busy = owner != 0 ? "in use by process " + std::to_string(owner) + " (lock file " + path + ")"
                        : "in use by another program (lock file " + path + ")";
      break;
    }
  }
  ::unlink(draft.c_str());
  return os::Outcome::Failed(
      busy.empty() ? "in use by another program (lock file " + path + " keeps coming back)" : busy);
}

void LockFile::Release() {
  if (!fd_) {
    return;
  }
  // Remove only our own file, never one that replaced it.
  if (SameFile(fd_.Get(), path_)) {
    ::unlink(path_.c_str());
  }
  fd_.Reset();
  path_.clear();
}

}  // namespace serial
