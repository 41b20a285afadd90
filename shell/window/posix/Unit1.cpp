#include "shell/window/posix/Unit1.h"

#include <QCoreApplication>

TForm1* Form1 = nullptr;

namespace {

// On Linux what the program waits for is a file descriptor.
qintptr Descriptor(CheckfeedWake wake) {
  return static_cast<qintptr>(wake.native);
}

}  // namespace

TForm1::TForm1(const CheckfeedWindowHooks& hooks, QWidget* owner)
    : QWidget(owner),
      core_(hooks),
      Timer(Descriptor(core_.StartTimer()), QSocketNotifier::Read),
      stopNotifier_(Descriptor(core_.StopWake()), QSocketNotifier::Read),
      inputNotifier_(Descriptor(core_.InputWake()), QSocketNotifier::Read),
      failures_(this, [this] { core_.Dismissed(); }) {
  setWindowTitle(QString::fromUtf8(window::kTitle));
  // Without a window manager there is no frame: outer and client are the same. Under one, the
  // client is shrunk by the frame once the frame is known (KeepOuterGeometry).
  move(window::kLeft, window::kTop);
  resize(window::kWidth, window::kHeight);

  connect(&Timer, &QSocketNotifier::activated, this, &TForm1::TimerTimer);
  connect(&stopNotifier_, &QSocketNotifier::activated, this, &TForm1::StopRequested);
  connect(&inputNotifier_, &QSocketNotifier::activated, this, &TForm1::Heard);
}

void TForm1::Heard() {
  if (const CheckfeedBox* box = core_.Heard(); box != nullptr) {
    failures_.Show(*box);
  }
}

void TForm1::FormShow() {
  if (const CheckfeedBox* box = core_.Shown(); box != nullptr) {
    failures_.Show(*box);
  }
}

void TForm1::TimerTimer() {
  if (const CheckfeedBox* box = core_.Tick(); box != nullptr) {
    failures_.Show(*box);
  }
}

void TForm1::FormClose() {
  if (core_.Closing()) {
    QCoreApplication::quit();
  }
}

void TForm1::StopRequested() {
  if (core_.StopRequested()) {
    close();
  }
}

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  FormShow();
}

void TForm1::closeEvent(QCloseEvent* event) {
  event->accept();
  FormClose();
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
    resize(QSize(window::kWidth, window::kHeight) - margins);
  }
}
