#pragma once

// What the shell needs from the system that differs between Linux (shell/posix/Platform.cpp)
// and Windows (shell/win32/Platform.cpp). Text is UTF-8 throughout the program; on Windows it
// becomes UTF-16 only where it meets the system.

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "os/Error.h"
#include "os/Wait.h"

namespace shell {

// The command line's arguments after the program's name.
std::vector<std::string> Arguments(int argc, char** argv);

// Whether the check files can be read from `dir`; if not, why (missing, not a directory, not
// readable).
os::Outcome ReadableDirectory(const std::string& dir);

// Makes `dir` the working directory.
os::Outcome ChangeDirectory(const std::string& dir);

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

// A file lines are appended to as they happen (the log of --log, the capture of --capture),
// shared so that others can read it meanwhile (tail -f, Get-Content -Wait). Each line goes in one
// write. A file renamed or removed meanwhile (logrotate without copytruncate) is made anew at
// the next write, under the name it was opened by.
class AppendFile {
 public:
  // Opens `path` for appending, making it if need be. The name is kept as it is now, from the
  // working directory of now.
  os::Outcome Open(const std::string& path);
  explicit operator bool() const { return static_cast<bool>(file_); }
  const std::string& Path() const { return path_; }

  // Appends `text`.
  os::Outcome Append(const std::string& text);

 private:
  // Opens the file the name stands for now.
  os::Outcome OpenNamed();
  // Whether the name still stands for the file that is open.
  bool StillNamed() const;

  os::OwnedWake file_;
  std::string path_;
  std::string absolute_;
};

}  // namespace shell
