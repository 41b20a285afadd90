#pragma once

// How the program fails, and the words it says it in.
//
// A failure the user is told about is an Outcome: it worked, or it failed with the reason in the
// program's words (the thing, quoted, then the system's reason) and the system's error number
// when the system gave that reason. An Outcome is [[nodiscard]], so no caller can drop one.
// Exceptions are for what the program cannot go on from (no timer, no wait), and for a tick that
// failed, which ends the tick.

#include <string>
#include <utility>

namespace os {

// The system's text for one of its error numbers (errno on Linux, GetLastError() on Windows),
// e.g. "No such file or directory", without a closing full stop.
std::string ErrorText(int error);

// Whether `error` says that a file is not there (ENOENT; ERROR_FILE_NOT_FOUND or
// ERROR_PATH_NOT_FOUND).
bool NotFound(int error);

// Puts a name in double quotes, the way every message of the program names files and devices.
inline std::string Quoted(const std::string& name) {
  return '"' + name + '"';
}

class [[nodiscard]] Outcome {
 public:
  // It worked.
  Outcome() = default;

  // It failed, for the reason `why` (not empty). `error`: the system's number for it, or 0 when
  // the reason is the program's own ("not a directory").
  static Outcome Failed(std::string why, int error = 0) {
    Outcome failed;
    failed.why_ = std::move(why);
    failed.error_ = error;
    return failed;
  }
  // It failed for the system's reason `error`, in the system's words.
  static Outcome SystemFailed(int error) { return Failed(ErrorText(error), error); }

  bool Worked() const { return why_.empty(); }
  // Why it failed, or "" when it worked.
  const std::string& Why() const { return why_; }
  // The system's error number, or 0.
  int Error() const { return error_; }

 private:
  std::string why_;
  int error_ = 0;
};

}  // namespace os
