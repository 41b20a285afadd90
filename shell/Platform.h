#pragma once

// What the shell needs from the system that differs between Linux (shell/posix/Platform.cpp)
// and Windows (shell/win32/Platform.cpp). Text is UTF-8 throughout the program; on Windows it
// becomes UTF-16 only where it meets the system.

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace shell {

// The command line's arguments after the program's name.
std::vector<std::string> Arguments(int argc, char** argv);

// Why the check files cannot be read from `dir` (missing, not a directory, not readable), or ""
// when they can.
[[nodiscard]] std::string DirectoryProblem(const std::string& dir);

// Makes `dir` the working directory. Returns "" or the reason it could not.
[[nodiscard]] std::string ChangeDirectory(const std::string& dir);

// `when` as local time, with the local offset from UTC in seconds.
struct LocalTime {
  std::tm fields{};
  long offsetSeconds = 0;
};
LocalTime ToLocalTime(std::time_t when);

// Whether `out` is the system journal, which stamps every line itself (systemd's JOURNAL_STREAM
// names it). Never on Windows.
bool IsJournal(std::FILE* out);

// Writes `text` to `out` and flushes it, so a pipe shows each line as it happens. A console on
// Windows is given the text as UTF-16. A reader that went away is no reason to stop: the write
// fails and the feed goes on.
void WriteOut(std::FILE* out, const std::string& text);

// What --help says that differs: what --port takes, and how to stop the program.
std::string PortHelp();
std::string StopHelp();

// Where a user reads about the options: "man checkfeed" on Linux, "README.txt" beside the
// program on Windows.
std::string DocsName();

// Shows the text of --help, --version or a bad command line where the user looks: on the
// console (`out`: stdout, or stderr for a bad command line), or in a message box titled `title`
// from the windowed Windows program, which has no console. `error`: the text says what is wrong.
void ShowText(std::FILE* out, const std::string& title, const std::string& text, bool error);

// A file lines are appended to as they happen (the log of --log), shared so that others can read
// it meanwhile (tail -f, Get-Content -Wait). Each line goes in one write.
class AppendFile {
 public:
  AppendFile() = default;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;
  AppendFile(AppendFile&& other) noexcept
      : native_(std::exchange(other.native_, kClosed)), path_(std::move(other.path_)) {}
  AppendFile& operator=(AppendFile&& other) noexcept {
    if (this != &other) {
      Close();
      native_ = std::exchange(other.native_, kClosed);
      path_ = std::move(other.path_);
    }
    return *this;
  }
  ~AppendFile() { Close(); }

  // Opens `path` for appending, making it if need be. Returns "" or why it cannot be opened.
  [[nodiscard]] std::string Open(const std::string& path);
  explicit operator bool() const { return native_ != kClosed; }
  const std::string& Path() const { return path_; }

  // Appends `text`. Returns 0, or the system's number for why it could not.
  [[nodiscard]] int Append(const std::string& text);

 private:
  static constexpr std::intptr_t kClosed = -1;
  void Close();
  std::intptr_t native_ = kClosed;
  std::string path_;
};

}  // namespace shell
