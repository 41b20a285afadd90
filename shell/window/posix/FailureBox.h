#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QWidget>
#include <functional>

#include "shell/WindowModule.h"

namespace window {

// The one message box that shows failures, as the program words them: a box that is open is
// updated, not joined by a second one. The box is modal to its window but does not hold up the
// event loop: ticks go on while it is on screen.
class FailureBox {
 public:
  // `dismissed` runs when the user answers the box.
  FailureBox(QWidget* parent, std::function<void()> dismissed)
      : parent_(parent), dismissed_(std::move(dismissed)) {}
  void Show(const CheckfeedBox& content);

 private:
  QWidget* parent_;
  std::function<void()> dismissed_;
  QPointer<QMessageBox> box_;
};

}  // namespace window
