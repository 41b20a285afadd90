#pragma once

// What the failure box shows, whichever window shows it (shell/window on Linux, shell/win32/window
// on Windows): each failure once, a repeat counted on its line, and a title that counts them all.

#include <algorithm>
#include <string>
#include <vector>

namespace shell {

class FailureTally {
 public:
  void Add(const std::string& message) {
    const auto same =
        std::find_if(entries_.begin(), entries_.end(),
                     [&message](const Entry& entry) { return entry.message == message; });
    if (same != entries_.end()) {
      ++same->count;
    } else {
      entries_.push_back({message, 1});
    }
    ++total_;
  }

  void Clear() {
    entries_.clear();
    total_ = 0;
  }

  // "checkfeed: 2 failures"
  std::string Title() const {
    return "checkfeed: " + std::to_string(total_) + (total_ == 1 ? " failure" : " failures");
  }

  // One line a failure, "<message> (3 times)" for one that repeated, joined by `lineEnd`.
  std::string Text(const std::string& lineEnd) const {
    std::string text;
    for (const Entry& entry : entries_) {
      text += (text.empty() ? "" : lineEnd) + entry.message;
      if (entry.count > 1) {
        text += " (" + std::to_string(entry.count) + " times)";
      }
    }
    return text;
  }

 private:
  struct Entry {
    std::string message;
    int count;
  };
  std::vector<Entry> entries_;
  int total_ = 0;
};

}  // namespace shell
