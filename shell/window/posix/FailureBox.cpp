#include "shell/window/posix/FailureBox.h"

namespace window {

void FailureBox::Show(const CheckfeedBox& content) {
  const bool opening = box_ == nullptr;
  if (opening) {
    box_ = new QMessageBox(QMessageBox::Critical, QString(), QString(), QMessageBox::Ok, parent_);
    box_->setAttribute(Qt::WA_DeleteOnClose);
    box_->setTextFormat(Qt::PlainText);
    QObject::connect(box_, &QDialog::finished, [this] { dismissed_(); });
  }
  box_->setWindowTitle(QString::fromUtf8(content.title));
  box_->setText(QString::fromUtf8(content.text));
  if (opening) {
    box_->open();
  }
}

}  // namespace window
