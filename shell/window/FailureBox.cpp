#include "shell/window/FailureBox.h"

#include <algorithm>

namespace shell {

void FailureBox::Add(const std::string& message) {
  const auto same = std::find_if(entries_.begin(), entries_.end(), [&message](const Entry& entry) {
    return entry.message == message;
  });
  if (same != entries_.end()) {
    ++same->count;
  } else {
    entries_.push_back({message, 1});
  }
  ++total_;

  if (box_ == nullptr) {
    box_ = new QMessageBox(QMessageBox::Critical, QString(), QString(), QMessageBox::Ok, parent_);
    box_->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box_, &QDialog::finished, [this] {
      entries_.clear();
      total_ = 0;
    });
    Update();
    box_->open();
  } else {
    Update();
  }
}

void FailureBox::Update() {
  QString text;
  for (const Entry& entry : entries_) {
    if (!text.isEmpty()) {
      text += '\n';
    }
    text += QString::fromStdString(entry.message);
    if (entry.count > 1) {
      text += QStringLiteral(" (%1 times)").arg(entry.count);
    }
  }
  box_->setWindowTitle(
      QStringLiteral("checkfeed: %1 failure%2").arg(total_).arg(total_ == 1 ? "" : "s"));
  box_->setText(text);
}

}  // namespace shell
