#include "shell/window/win32/Unit1.h"

#include <stdexcept>

#include "os/win32/Text.h"

TForm1* Form1 = nullptr;

namespace {

constexpr const wchar_t* kClass = L"TForm1";
constexpr UINT kTick = WM_APP + 1;
constexpr UINT kStop = WM_APP + 2;
constexpr UINT kInput = WM_APP + 3;

HANDLE ToHandle(CheckfeedWake wake) {
  return reinterpret_cast<HANDLE>(wake.native);
}

}  // namespace

TForm1* TForm1::Create(const CheckfeedWindowHooks& hooks) {
  static const ATOM registered = [] {
    WNDCLASSW type{};
    type.lpfnWndProc = Procedure;
    type.hInstance = GetModuleHandleW(nullptr);
    type.hIcon = LoadIconW(nullptr, reinterpret_cast<const wchar_t*>(IDI_APPLICATION));
    type.hCursor = LoadCursorW(nullptr, reinterpret_cast<const wchar_t*>(IDC_ARROW));
    type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    type.lpszClassName = kClass;
    return RegisterClassW(&type);
  }();
  if (registered == 0) {
    return nullptr;
  }
  // The outer size and place, frame included.
  HWND window = CreateWindowExW(0, kClass, os::Widen(window::kTitle).c_str(), WS_OVERLAPPEDWINDOW,
                                window::kLeft, window::kTop, window::kWidth, window::kHeight,
                                nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (window == nullptr) {
    return nullptr;
  }
  auto* form = new TForm1(hooks, window);
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
  return form;
}

TForm1::TForm1(const CheckfeedWindowHooks& hooks, HWND window)
    : core_(hooks), window_(window), failures_(window, [this] { core_.Dismissed(); }) {}

TForm1::~TForm1() {
  for (HANDLE wait : {timerWait_, stopWait_, inputWait_}) {
    if (wait != nullptr) {
      UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);  // and any callback under way
    }
  }
  failures_.Dismiss();
  if (IsWindow(window_)) {
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
}

void TForm1::StartTimer() {
  Timer = ToHandle(core_.StartTimer());
  if (!RegisterWaitForSingleObject(&timerWait_, Timer, OnTimer, this, INFINITE,
                                   WT_EXECUTEINWAITTHREAD) ||
      !RegisterWaitForSingleObject(&stopWait_, ToHandle(core_.StopWake()), OnStop, this, INFINITE,
                                   WT_EXECUTEINWAITTHREAD | WT_EXECUTEONLYONCE)) {
    throw std::runtime_error("Cannot wait for the timer");
  }
  input_ = ToHandle(core_.InputWake());
  WaitForInput();
}

void TForm1::WaitForInput() {
  if (inputWait_ != nullptr) {
    UnregisterWaitEx(inputWait_, INVALID_HANDLE_VALUE);
    inputWait_ = nullptr;
  }
  if (!RegisterWaitForSingleObject(&inputWait_, input_, OnInput, this, INFINITE,
                                   WT_EXECUTEINWAITTHREAD | WT_EXECUTEONLYONCE)) {
    throw std::runtime_error("Cannot wait for the port");
  }
}

void CALLBACK TForm1::OnInput(void* context, BOOLEAN /*timedOut*/) {
  PostMessageW(static_cast<TForm1*>(context)->window_, kInput, 0, 0);
}

// At most one tick message waits at a time: however many ticks fell due while the window was
// busy, one runs.
void CALLBACK TForm1::OnTimer(void* context, BOOLEAN /*timedOut*/) {
  auto* form = static_cast<TForm1*>(context);
  if (InterlockedExchange(&form->tickPosted_, 1) == 0) {
    PostMessageW(form->window_, kTick, 0, 0);
  }
}

void CALLBACK TForm1::OnStop(void* context, BOOLEAN /*timedOut*/) {
  PostMessageW(static_cast<TForm1*>(context)->window_, kStop, 0, 0);
}

void TForm1::Show() {
  ShowWindow(window_, SW_SHOWNORMAL);
  UpdateWindow(window_);
  FormShow();
}

void TForm1::Close() {
  SendMessageW(window_, WM_CLOSE, 0, 0);
}

void TForm1::FormShow() {
  if (const CheckfeedBox* box = core_.Shown(); box != nullptr) {
    failures_.Show(*box);
  }
}

void TForm1::TimerTimer() {
  InterlockedExchange(&tickPosted_, 0);
  if (const CheckfeedBox* box = core_.Tick(); box != nullptr) {
    failures_.Show(*box);
  }
}

void TForm1::FormClose() {
  if (core_.Closing()) {
    failures_.Dismiss();
    DestroyWindow(window_);
  }
}

LRESULT CALLBACK TForm1::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* form = reinterpret_cast<TForm1*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  return form != nullptr ? form->Handle(message, wParam, lParam)
                         : DefWindowProcW(window, message, wParam, lParam);
}

LRESULT TForm1::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kTick:
      TimerTimer();
      return 0;
    case kInput:
      if (const CheckfeedBox* box = core_.Heard(); box != nullptr) {
        failures_.Show(*box);
      }
      WaitForInput();
      return 0;
    case kStop:
      // A stop request closes the window even with the box open, as Ctrl+C would.
      if (core_.StopRequested()) {
        failures_.Dismiss();
        Close();
      }
      return 0;
    case WM_CLOSE:
      FormClose();
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window_, message, wParam, lParam);
  }
}
