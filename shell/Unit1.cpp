#include "shell/Unit1.h"

#include <QCoreApplication>
#include <QTimer>

#include "shell/Events.h"

TForm1* Form1 = nullptr;

namespace {

// Outer size and place, frame included.
constexpr QRect kFrame(601, 271, 353, 147);

}  // namespace

TForm1::TForm1(const shell::Options& options, shell::StopSignals& stopSignals, QWidget* owner)
    : QWidget(owner),
      Timer(options.period),
      signals_(stopSignals),
      feed_(options, Timer, stopSignals.Fd()),
      timerNotifier_(Timer.Fd(), QSocketNotifier::Read),
      stopNotifier_(stopSignals.Fd(), QSocketNotifier::Read),
      failures_(this) {
  setWindowTitle(QStringLiteral("Form1"));
  // Without a window manager there is no frame: outer and client are the same. Under one, the
  // client is shrunk by the frame once the frame is known (KeepOuterGeometry).
  move(kFrame.topLeft());
  resize(kFrame.size());

  connect(&timerNotifier_, &QSocketNotifier::activated, this, &TForm1::TimerTimer);
  connect(&stopNotifier_, &QSocketNotifier::activated, this, &TForm1::StopRequested);
}

void TForm1::FormShow() {
  feed_.Show();
}

void TForm1::TimerTimer() {
  if (!Timer.TakeTick()) {
    return;
  }
  if (const auto failure = feed_.Tick()) {
    failures_.Add(*failure);
  }
}

void TForm1::FormClose() {
  feed_.Close();
  QCoreApplication::quit();
}

void TForm1::StopRequested() {
  if (signals_.Take() != 0) {
    close();
  }
}

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!shown_) {
    shown_ = true;
    FormShow();
  }
}

void TForm1::closeEvent(QCloseEvent* event) {
  event->accept();
  if (!closed_) {
    closed_ = true;
    FormClose();
  }
}

bool TForm1::event(QEvent* event) {
  const bool handled = QWidget::event(event);
  if (event->type() == QEvent::Move || event->type() == QEvent::Resize ||
      event->type() == QEvent::Show) {
    KeepOuterGeometry();
  }
  return handled;
}

void TForm1::KeepOuterGeometry() {
  // Only when the frame changes (a window manager has just framed the window), so the user
  // can still resize it afterwards.
  const QSize margins = frameGeometry().size() - geometry().size();
  if (margins != frameMargins_) {
    frameMargins_ = margins;
    resize(kFrame.size() - margins);
  }
}
