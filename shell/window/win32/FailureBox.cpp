#include "shell/window/win32/FailureBox.h"

#include <algorithm>

#include "os/win32/Text.h"

namespace window {
namespace {

constexpr const wchar_t* kClass = L"checkfeed failure box";

// Spacing in dialog units of the message font: what Windows' own message box uses.
struct Layout {
  int margin;    // around everything
  int gap;       // between the icon and the text, and above the button
  int iconSize;  // the error icon
  int buttonWidth;
  int buttonHeight;
};

Layout LayoutFor(HWND window, HFONT font) {
  HDC context = GetDC(window);
  HGDIOBJ previous = SelectObject(context, font);
  TEXTMETRICW metrics{};
  GetTextMetricsW(context, &metrics);
  SelectObject(context, previous);
  ReleaseDC(window, context);
  const int unit = std::max<int>(metrics.tmHeight, 8);
  return {.margin = unit,
          .gap = unit * 2 / 3,
          .iconSize = GetSystemMetrics(SM_CXICON),
          .buttonWidth = unit * 6,
          .buttonHeight = unit * 7 / 4};
}

}  // namespace

void FailureBox::Show(const CheckfeedBox& content) {
  if (box_ == nullptr) {
    Create();
  }
  Update(content);
}

void FailureBox::Create() {
  static const ATOM registered = [] {
    WNDCLASSW type{};
    type.lpfnWndProc = Procedure;
    type.hInstance = GetModuleHandleW(nullptr);
    type.hCursor = LoadCursorW(nullptr, reinterpret_cast<const wchar_t*>(IDC_ARROW));
    type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    type.lpszClassName = kClass;
    return RegisterClassW(&type);
  }();
  static_cast<void>(registered);

  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
  font_ = CreateFontIndirectW(&metrics.lfMessageFont);

  box_ = CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, kClass, L"",
                         WS_POPUP | WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT, CW_USEDEFAULT, 100, 100,
                         owner_, nullptr, GetModuleHandleW(nullptr), this);
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  icon_ = CreateWindowExW(0, L"STATIC", nullptr, WS_CHILD | WS_VISIBLE | SS_ICON, 0, 0, 0, 0, box_,
                          nullptr, instance, nullptr);
  SendMessageW(
      icon_, STM_SETICON,
      reinterpret_cast<WPARAM>(LoadIconW(nullptr, reinterpret_cast<const wchar_t*>(IDI_ERROR))), 0);
  text_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 0, 0, 0,
                          0, box_, nullptr, instance, nullptr);
  button_ = CreateWindowExW(0, L"BUTTON", L"OK",
                            WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 0, 0, 0, box_,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDOK)), instance, nullptr);
  for (HWND child : {text_, button_}) {
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  }
  // Modal to its window: the window takes no input while the box is open.
  EnableWindow(owner_, FALSE);
}

void FailureBox::Update(const CheckfeedBox& content) {
  // Windows' controls end a line with CR LF.
  std::string lines;
  for (const char* c = content.text; *c != '\0'; ++c) {
    lines += *c == '\n' ? std::string("\r\n") : std::string(1, *c);
  }
  const std::wstring text = os::Widen(lines);
  SetWindowTextW(box_, os::Widen(content.title).c_str());
  SetWindowTextW(text_, text.c_str());

  // Laid out as Windows lays out its own message box: the icon, the text beside it, the button
  // below, the whole centred on the window it belongs to.
  const Layout layout = LayoutFor(box_, font_);
  RECT textSize{0, 0, GetSystemMetrics(SM_CXSCREEN) / 2, 0};
  HDC context = GetDC(box_);
  HGDIOBJ previous = SelectObject(context, font_);
  DrawTextW(context, text.c_str(), -1, &textSize, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
  SelectObject(context, previous);
  ReleaseDC(box_, context);
  const int textLeft = layout.margin + layout.iconSize + layout.gap;
  const int contentHeight = std::max<int>(layout.iconSize, textSize.bottom);
  const int clientWidth =
      std::max<int>(textLeft + textSize.right, layout.buttonWidth) + layout.margin;
  const int clientHeight =
      layout.margin + contentHeight + layout.gap + layout.buttonHeight + layout.margin;
  MoveWindow(icon_, layout.margin, layout.margin, layout.iconSize, layout.iconSize, TRUE);
  MoveWindow(text_, textLeft, layout.margin, textSize.right, textSize.bottom, TRUE);
  MoveWindow(button_, (clientWidth - layout.buttonWidth) / 2,
             clientHeight - layout.margin - layout.buttonHeight, layout.buttonWidth,
             layout.buttonHeight, TRUE);

  RECT outer{0, 0, clientWidth, clientHeight};
  AdjustWindowRectEx(&outer, WS_POPUP | WS_CAPTION | WS_SYSMENU, FALSE, WS_EX_DLGMODALFRAME);
  RECT owner{};
  GetWindowRect(owner_, &owner);
  const int width = outer.right - outer.left;
  const int height = outer.bottom - outer.top;
  const int left = std::max<int>(0, (owner.left + owner.right - width) / 2);
  const int top = std::max<int>(0, (owner.top + owner.bottom - height) / 2);
  const bool shown = IsWindowVisible(box_) != FALSE;
  SetWindowPos(box_, nullptr, left, top, width, height,
               SWP_NOZORDER | (shown ? SWP_NOACTIVATE : SWP_SHOWWINDOW));
  if (!shown) {
    SetFocus(button_);
  }
}

void FailureBox::Dismiss() {
  if (box_ == nullptr) {
    return;
  }
  // Back to the window: enabled before the box goes, so Windows activates it and not another.
  EnableWindow(owner_, TRUE);
  DestroyWindow(box_);
  DeleteObject(font_);
  box_ = icon_ = text_ = button_ = nullptr;
  font_ = nullptr;
  dismissed_();
}

bool FailureBox::TakeKeys(MSG& message) {
  return box_ != nullptr && IsDialogMessageW(box_, &message) != FALSE;
}

LRESULT CALLBACK FailureBox::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
  }
  auto* box = reinterpret_cast<FailureBox*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  const bool answered =
      (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) ||
      message == WM_CLOSE;
  if (answered && box != nullptr) {
    box->Dismiss();
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace window
