#include "shell/window/Unit1.h"

#include <QCoreApplication>
#include <array>
#include <stdexcept>

TForm1* Form1 = nullptr;

namespace {

// Outer size and place, frame included.
constexpr QRect kFrame(601, 271, 353, 147);

// On Linux what the program waits for is a file descriptor.
qintptr Descriptor(CheckfeedWake wake) {
  return static_cast<qintptr>(wake.native);
}

qintptr StartTimer(const CheckfeedWindowHooks& hooks) {
  std::array<char, 256> error{};
  const CheckfeedWake timer = hooks.start_timer(hooks.context, error.data(), error.size());
  if (timer.native < 0) {
    throw std::runtime_error(error.data());
  }
  return Descriptor(timer);
}

}  // namespace

TForm1::TForm1(const CheckfeedWindowHooks& hooks, QWidget* owner)
    : QWidget(owner),
      Timer(StartTimer(hooks), QSocketNotifier::Read),
      hooks_(hooks),
      stopNotifier_(Descriptor(hooks.stop), QSocketNotifier::Read),
      failures_(this, [&hooks] { hooks.dismissed(hooks.context); }) {
  setWindowTitle(QStringLiteral("Form1"));
  // Without a window manager there is no frame: outer and client are the same. Under one, the
  // client is shrunk by the frame once the frame is known (KeepOuterGeometry).
  move(kFrame.topLeft());
  resize(kFrame.size());

  connect(&Timer, &QSocketNotifier::activated, this, &TForm1::TimerTimer);
  connect(&stopNotifier_, &QSocketNotifier::activated, this, &TForm1::StopRequested);
}

void TForm1::FormShow() {
  if (const CheckfeedBox* box = hooks_.show(hooks_.context); box != nullptr) {
    failures_.Show(*box);
  }
}

void TForm1::TimerTimer() {
  if (const CheckfeedBox* box = hooks_.tick(hooks_.context); box != nullptr) {
    failures_.Show(*box);
  }
}

void TForm1::FormClose() {
  hooks_.close(hooks_.context);
  QCoreApplication::quit();
}

void TForm1::StopRequested() {
  if (hooks_.take_stop(hooks_.context) != 0) {
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
