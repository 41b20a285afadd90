#pragma once

// What the failure box shows, whichever window shows it: each failure once, a repeat counted on
// its line, a title that counts them all, and what works again. A port that comes back takes its
// failures off the box and says so, so that nothing stale stays on screen.

#include <set>
#include <string>
#include <vector>

namespace shell {

class FailureTally {
 public:
  // `subject` (a check file, a port) failed with `message`.
  void Failed(const std::string& subject, const std::string& message);

  // `subject` works again, as `note` says ("Port "COM3" is back"). When it had failed since it
  // last worked, its failures leave the box, the note joins it, and this returns true; otherwise
  // nothing changes.
  bool Worked(const std::string& subject, const std::string& note);

  // The user answered the box: the next failure or note opens a new one. What is failing is
  // still remembered, so its return is still told.
  void Dismissed();

  // "checkfeed: 2 failures"; "checkfeed: working again" when only notes are left.
  std::string Title() const;

  // One line a failure, "<message> (3 times)" for one that repeated, then the notes, joined by
  // `lineEnd`.
  std::string Text(const std::string& lineEnd) const;

 private:
  struct Entry {
    std::string subject;
    std::string message;
    int count;
  };
  std::vector<Entry> entries_;
  std::vector<std::string> notes_;
  std::set<std::string> failing_;
  int total_ = 0;
};

}  // namespace shell
