#pragma once

// What the shell needs from the system that differs between Linux (shell/posix/Platform.cpp)
// and Windows (shell/win32/Platform.cpp). Text is UTF-8 throughout the program; on Windows it
// becomes UTF-16 only where it meets the system.

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace shell {

// The command line's arguments after the program's name.
std::vector<std::string> Arguments(int argc, char** argv);

// Why the check files cannot be read from `dir` (missing, not a directory, not readable), or ""
// when they can.
std::string DirectoryProblem(const std::string& dir);

// Makes `dir` the working directory. Returns "" or the reason it could not.
std::string ChangeDirectory(const std::string& dir);

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

// The lines of --help that differ: what --port takes, and how to stop the program.
std::string PortHelp();
std::string StopHelp();

}  // namespace shell
