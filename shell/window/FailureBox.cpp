#include "shell/window/FailureBox.h"

namespace shell {

void FailureBox::Add(const std::string& message) {
  tally_.Add(message);

  if (box_ == nullptr) {
    box_ = new QMessageBox(QMessageBox::Critical, QString(), QString(), QMessageBox::Ok, parent_);
    box_->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box_, &QDialog::finished, [this] { tally_.Clear(); });
    Update();
    box_->open();
  } else {
    Update();
  }
}

void FailureBox::Update() {
  box_->setWindowTitle(QString::fromStdString(tally_.Title()));
  box_->setText(QString::fromStdString(tally_.Text("\n")));
}

}  // namespace shell
