#pragma once

// The main window: empty, titled "Form1". It owns the timer and carries the three events (show,
// tick, close) to the program through its hooks; the program's state lives behind them.

#include <QCloseEvent>
#include <QShowEvent>
#include <QSocketNotifier>
#include <QWidget>

#include "shell/WindowModule.h"
#include "shell/window/FailureBox.h"

class TForm1 final : public QWidget {
  Q_OBJECT

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
  void KeepOuterGeometry();

  const CheckfeedWindowHooks& hooks_;
  QSocketNotifier stopNotifier_;
  shell::FailureBox failures_;
  QSize frameMargins_{0, 0};
  bool shown_ = false;
  bool closed_ = false;
};

// The one window of the program, while it exists.
extern TForm1* Form1;
