#include "shell/Platform.h"

#include <windows.h>
// After windows.h, which they need.
#include <io.h>
#include <shellapi.h>

#include "serial/SystemError.h"
#include "serial/win32/Text.h"

namespace shell {

// The command line as Windows has it, in UTF-16: argv is in the ANSI code page, which cannot hold
// every file name.
std::vector<std::string> Arguments(int /*argc*/, char** /*argv*/) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  for (int i = 1; i < count; ++i) {
    arguments.push_back(serial::Narrow(wide[i]));
  }
  LocalFree(wide);
  return arguments;
}

std::string DirectoryProblem(const std::string& dir) {
  const std::wstring path = serial::Widen(dir);
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return serial::ErrorText(static_cast<int>(GetLastError()));
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return "not a directory";
  }
  // Readable: its list of files can be had.
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    return serial::ErrorText(static_cast<int>(GetLastError()));
  }
  FindClose(search);
  return {};
}

std::string ChangeDirectory(const std::string& dir) {
  if (!SetCurrentDirectoryW(serial::Widen(dir).c_str())) {
    return serial::ErrorText(static_cast<int>(GetLastError()));
  }
  return {};
}

LocalTime ToLocalTime(std::time_t when) {
  LocalTime local;
  localtime_s(&local.fields, &when);
  // The same fields read as UTC, less the moment itself: the offset, summer time included.
  std::tm copy = local.fields;
  local.offsetSeconds = static_cast<long>(_mkgmtime(&copy) - when);
  return local;
}

bool IsJournal(std::FILE* /*out*/) {
  return false;
}

void WriteOut(std::FILE* out, const std::string& text) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
  DWORD mode = 0;
  if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
    // A console shows UTF-16 whatever its code page.
    std::fflush(out);
    const std::wstring wide = serial::Widen(text);
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), out);
  std::fflush(out);
}

std::string PortHelp() {
  return R"(  --port DEVICE  the serial port: COMn (n from 1 to 256), or a device name
                 such as \\.\CNCA0. Default: COM1.
)";
}

std::string StopHelp() {
  return R"(Close the window, or press Ctrl+C or Ctrl+Break, or close the console, to stop:
the port is closed.
)";
}

}  // namespace shell
