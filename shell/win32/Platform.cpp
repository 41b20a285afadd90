#include "shell/Platform.h"

#include <windows.h>
// After windows.h, which they need.
#include <io.h>
#include <shellapi.h>

#include <filesystem>
#include <optional>
#include <utility>

#include "os/Error.h"
#include "os/win32/Text.h"

namespace shell {

namespace {

os::Outcome LastFailure() {
  return os::Outcome::SystemFailed(static_cast<int>(GetLastError()));
}

}  // namespace

// The command line as Windows has it, in UTF-16: argv is in the ANSI code page, which cannot hold
// every file name.
std::vector<std::string> Arguments(int /*argc*/, char** /*argv*/) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  for (int i = 1; i < count; ++i) {
    arguments.push_back(os::Narrow(wide[i]));
  }
  LocalFree(wide);
  return arguments;
}

os::Outcome ReadableDirectory(const std::string& dir) {
  const std::wstring path = os::Widen(dir);
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return LastFailure();
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return os::Outcome::Failed("not a directory");
  }
  // Readable: its list of files can be had.
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    return LastFailure();
  }
  FindClose(search);
  return {};
}

os::Outcome ChangeDirectory(const std::string& dir) {
  return SetCurrentDirectoryW(os::Widen(dir).c_str()) ? os::Outcome() : LastFailure();
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
    const std::wstring wide = os::Widen(text);
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), out);
  std::fflush(out);
}

std::string PortHelp() {
  return R"(the serial port: COMn (n from 1 to 256), or a device name such as \\.\CNCA0.)";
}

std::string DocsName() {
  return "README.txt";
}

namespace {

// Whether this is the windowed program (checkfeed.exe), which has no console to write to.
bool Windowed() {
  const auto* image = reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
  return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI;
}

}  // namespace

void ShowText(std::FILE* out, const std::string& title, const std::string& text, bool error) {
  if (!Windowed()) {
    WriteOut(out, text);
    return;
  }
  WriteOut(out, text);  // for a script that redirected it
  std::string lines = text;
  while (!lines.empty() && lines.back() == '\n') {
    lines.pop_back();
  }
  MessageBoxW(nullptr, os::Widen(lines).c_str(), os::Widen(title).c_str(),
              MB_OK | static_cast<UINT>(error ? MB_ICONERROR : MB_ICONINFORMATION));
}

os::Outcome AppendFile::Open(const std::string& path) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(os::Widen(path), error);
  absolute_ = os::Narrow(absolute.wstring());
  path_ = path;
  return OpenNamed();
}

namespace {

// The file a handle is open on: its volume and its index there.
std::optional<std::pair<DWORD, ULONGLONG>> FileId(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(file, &information)) {
    return std::nullopt;
  }
  return std::pair(information.dwVolumeSerialNumber,
                   (ULONGLONG{information.nFileIndexHigh} << 32) | information.nFileIndexLow);
}

}  // namespace

bool AppendFile::StillNamed() const {
  HANDLE named = CreateFileW(os::Widen(absolute_).c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  if (named == INVALID_HANDLE_VALUE) {
    return false;
  }
  const os::OwnedWake owned(os::WakeOf(named));
  const auto id = FileId(named);
  return id && id == FileId(os::NativeOf<HANDLE>(file_.Get()));
}

os::Outcome AppendFile::OpenNamed() {
  // Appended to, and shared for reading and writing so that a reader can follow it and another
  // program may append too, and for renaming; FILE_APPEND_DATA makes each write go to the end.
  HANDLE opened = CreateFileW(os::Widen(absolute_).c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened == INVALID_HANDLE_VALUE) {
    return LastFailure();
  }
  os::OwnedWake file(os::WakeOf(opened));
  if (GetFileType(os::NativeOf<HANDLE>(file.Get())) != FILE_TYPE_DISK) {
    return os::Outcome::Failed("not a regular file");
  }
  const bool anew = static_cast<bool>(file_);
  file_ = std::move(file);
  generation_ += anew ? 1 : 0;
  return {};
}

std::optional<std::uint64_t> AppendFile::End() const {
  LARGE_INTEGER size{};
  if (!file_ || !GetFileSizeEx(os::NativeOf<HANDLE>(file_.Get()), &size)) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(size.QuadPart);
}

os::Outcome AppendFile::CutTo(std::uint64_t size) {
  // The handle appends only, and may not set the file's end: one of its own, for that.
  HANDLE cutting = CreateFileW(os::Widen(absolute_).c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (cutting == INVALID_HANDLE_VALUE) {
    return LastFailure();
  }
  const os::OwnedWake owned(os::WakeOf(cutting));
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  return SetFileInformationByHandle(cutting, FileEndOfFileInfo, &end, sizeof end) ? os::Outcome()
                                                                                  : LastFailure();
}

os::Outcome AppendFile::Append(const std::string& text) {
  if (!StillNamed()) {
    if (os::Outcome reopened = OpenNamed(); !reopened.Worked()) {
      return reopened;
    }
  }
  DWORD written = 0;
  const BOOL wrote = WriteFile(os::NativeOf<HANDLE>(file_.Get()), text.data(),
                               static_cast<DWORD>(text.size()), &written, nullptr);
  if (wrote && written == text.size()) {
    return {};
  }
  const os::Outcome failed = wrote ? os::Outcome::SystemFailed(ERROR_WRITE_FAULT) : LastFailure();
  // Part of it taken (a full disk): cut back out.
  if (const auto end = End(); written > 0 && end && *end >= written) {
    [[maybe_unused]] const os::Outcome cut = CutTo(*end - written);
  }
  return failed;
}

std::string StopHelp() {
  return R"(Close the window, or press Ctrl+C or Ctrl+Break, or close the console, to stop:
the port is closed.
)";
}

}  // namespace shell
