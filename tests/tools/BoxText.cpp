// A Windows test tool: prints the text of the windows whose title is the argument, as a user
// reads it in the box, one line of it a line (in UTF-8). Run under Wine beside the program, in the
// same session.
//   boxtext.exe TITLE

#include <windows.h>

#include <string>

namespace {

std::wstring TextOf(HWND window) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return text;
}

void Print(const std::wstring& text) {
  std::wstring lines;
  for (const wchar_t c : text) {
    if (c != L'\r') {
      lines += c;
    }
  }
  lines += L'\n';
  const int size = WideCharToMultiByte(CP_UTF8, 0, lines.data(), static_cast<int>(lines.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, lines.data(), static_cast<int>(lines.size()), narrow.data(), size,
                      nullptr, nullptr);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), narrow.data(), static_cast<DWORD>(narrow.size()),
            &written, nullptr);
}

BOOL CALLBACK PrintStatic(HWND child, LPARAM /*unused*/) {
  wchar_t type[32] = {};
  GetClassNameW(child, type, 32);
  const std::wstring text = TextOf(child);
  if (lstrcmpiW(type, L"Static") == 0 && !text.empty()) {
    Print(text);
  }
  return TRUE;
}

BOOL CALLBACK PrintBox(HWND window, LPARAM title) {
  if (IsWindowVisible(window) && TextOf(window) == reinterpret_cast<const wchar_t*>(title)) {
    EnumChildWindows(window, PrintStatic, 0);
  }
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    return 2;
  }
  EnumWindows(PrintBox, reinterpret_cast<LPARAM>(argv[1]));
  return 0;
}
