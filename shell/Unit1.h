#pragma once

// The main window: empty, titled "Form1". It owns the timer and carries the three events (show,
// tick, close) to the program; the program's state lives in the serial and feeder modules.

#include <QCloseEvent>
#include <QShowEvent>
#include <QSocketNotifier>
#include <QWidget>

#include "shell/CommandLine.h"
#include "shell/Events.h"
#include "shell/FailureBox.h"
#include "shell/StopSignals.h"
#include "shell/TickTimer.h"

class TForm1 final : public QWidget {
  Q_OBJECT

 public:
  // The timer starts here, so the first tick comes one period after the window is created.
  TForm1(const shell::Options& options, shell::StopSignals& stopSignals, QWidget* owner = nullptr);

  shell::TickTimer Timer;

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

  shell::StopSignals& signals_;
  shell::Feed feed_;
  QSocketNotifier timerNotifier_;
  QSocketNotifier stopNotifier_;
  shell::FailureBox failures_;
  QSize frameMargins_{0, 0};
  bool shown_ = false;
  bool closed_ = false;
};

// The one window of the program, while it exists.
extern TForm1* Form1;
