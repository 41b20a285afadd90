#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QWidget>
#include <string>

#include "shell/FailureTally.h"

namespace shell {

// The one message box that shows failures. A failure that comes while the box is open is added
// to it, so there is never more than one box and none is lost; a message that repeats is counted
// on its line rather than listed again. The box is modal to its window but does not hold up the
// event loop: ticks go on while it is on screen.
class FailureBox {
 public:
  explicit FailureBox(QWidget* parent) : parent_(parent) {}
  void Add(const std::string& message);

 private:
  void Update();

  QWidget* parent_;
  QPointer<QMessageBox> box_;
  FailureTally tally_;
};

}  // namespace shell
