#pragma once

// What the shell needs from the system that differs between Linux (shell/posix/Platform.cpp)
// and Windows (shell/win32/Platform.cpp). Text is UTF-8 throughout the program; on Windows it
// becomes UTF-16 only where it meets the system.

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
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

// A file appended to as things happen, as the capture sees it: AppendFile, or a test's stand-in.
class Appendable {
 public:
  virtual ~Appendable() = default;
  // The name it was opened by.
  virtual const std::string& Path() const = 0;
  // Appends `text`, whole or not at all.
  virtual os::Outcome Append(const std::string& text) = 0;
  // Where the next append lands, where the system tells.
  virtual std::optional<std::uint64_t> End() const = 0;
  // How many times the file was made anew under its name (see AppendFile).
  virtual unsigned Generation() const = 0;
  // Cuts the file back to `size` bytes.
  virtual os::Outcome CutTo(std::uint64_t size) = 0;
};

// A file lines are appended to as they happen (the log of --log, the capture of --capture),
// shared so that others can read it meanwhile (tail -f, Get-Content -Wait). Each append goes in
// one write, and is whole or not there: one the disk took only part of is cut back out. A file
// renamed or removed meanwhile (logrotate without copytruncate), or another made under its name
// (logrotate's `create`), is made anew, or taken, at the next write, under the name it was opened
// by.
class AppendFile final : public Appendable {
 public:
  // Opens `path` for appending, making it if need be. The name is kept as it is now, from the
  // working directory of now.
  os::Outcome Open(const std::string& path);
  explicit operator bool() const { return static_cast<bool>(file_); }
  const std::string& Path() const override { return path_; }

  os::Outcome Append(const std::string& text) override;
  std::optional<std::uint64_t> End() const override;
  unsigned Generation() const override { return generation_; }
  os::Outcome CutTo(std::uint64_t size) override;

 private:
  // Opens the file the name stands for now.
  os::Outcome OpenNamed();
  // Whether the name still stands for the file that is open: the same file, not only one on the
  // same device.
  bool StillNamed() const;

  os::OwnedWake file_;
  std::string path_;
  std::string absolute_;
  unsigned generation_ = 0;
};

}  // namespace shell
