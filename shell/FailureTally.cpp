#include "shell/FailureTally.h"

#include <algorithm>

namespace shell {

void FailureTally::Failed(const std::string& subject, const std::string& message) {
  const auto same = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& entry) {
    return entry.subject == subject && entry.message == message;
  });
  if (same != entries_.end()) {
    ++same->count;
  } else {
    entries_.push_back({subject, message, 1});
  }
  ++total_;
  failing_.insert(subject);
}

bool FailureTally::Worked(const std::string& subject, const std::string& note) {
  if (failing_.erase(subject) == 0) {
    return false;
  }
  std::erase_if(entries_, [&](const Entry& entry) {
    if (entry.subject == subject) {
      total_ -= entry.count;
      return true;
    }
    return false;
  });
  notes_.push_back(note);
  return true;
}

void FailureTally::Dismissed() {
  entries_.clear();
  notes_.clear();
  total_ = 0;
}

std::string FailureTally::Title() const {
  if (total_ == 0 && !notes_.empty()) {
    return "checkfeed: working again";
  }
  return "checkfeed: " + std::to_string(total_) + (total_ == 1 ? " failure" : " failures");
}

std::string FailureTally::Text(const std::string& lineEnd) const {
  std::string text;
  const auto line = [&](const std::string& content) {
    text += (text.empty() ? "" : lineEnd) + content;
  };
  for (const Entry& entry : entries_) {
    line(entry.count > 1 ? entry.message + " (" + std::to_string(entry.count) + " times)"
                         : entry.message);
  }
  for (const std::string& note : notes_) {
    line(note);
  }
  return text;
}

}  // namespace shell
