#pragma once

// The main window on Linux, in Qt: empty, titled "Form1". It owns the timer's notifier and carries
// the three events (show, tick, close) to the window core; the program lives behind its hooks.

#include <QCloseEvent>
#include <QShowEvent>
#include <QSocketNotifier>
#include <QWidget>

#include "shell/WindowModule.h"
#include "shell/window/WindowCore.h"
#include "shell/window/posix/FailureBox.h"

class TForm1 final : public QWidget {
  Q_OBJECT

  // First, as the timer below is started by it.
  window::WindowCore core_;

 public:
  // The timer starts here, so the first tick comes one period after the window is created.
  // Throws std::runtime_error when it cannot be started.
  explicit TForm1(const CheckfeedWindowHooks& hooks, QWidget* owner = nullptr);

  // Fires when a tick is due on the program's beat.
  QSocketNotifier Timer;

 public Q_SLOTS:
  void TimerTimer();
  void FormShow();
  void FormClose();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool event(QEvent* event) override;

 private:
  void StopRequested();
  void Heard();
  void KeepOuterGeometry();

  QSocketNotifier stopNotifier_;
  QSocketNotifier inputNotifier_;
  window::FailureBox failures_;
  QSize frameMargins_{0, 0};
};

// The one window of the program, while it exists.
extern TForm1* Form1;
