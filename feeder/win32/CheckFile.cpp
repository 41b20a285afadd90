#include "feeder/CheckFile.h"

#include <windows.h>

#include "os/win32/Text.h"

namespace feeder {

// Read-only, by its UTF-16 name, and shared: an editor may hold the file open. ReadFile gives the
// bytes as stored: no text mode, so CR LF stays CR LF and 0x1A ends nothing.
CheckFile::CheckFile(const std::string& name) {
  const std::wstring path = os::Widen(name);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    file_.Reset(os::WakeOf(file));
    return;
  }
  openError_ = static_cast<int>(GetLastError());
  // A directory opens on Linux and is then refused as not regular; here it does not open at all.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    openError_ = 0;
  }
}

CheckFile::Status CheckFile::Stat() const {
  if (!file_) {
    return {.regular = false, .size = 0, .error = 0};  // a directory
  }
  if (GetFileType(os::NativeOf<HANDLE>(file_.Get())) != FILE_TYPE_DISK) {
    return {.regular = false, .size = 0, .error = 0};
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(os::NativeOf<HANDLE>(file_.Get()), &size)) {
    return {.regular = false, .size = 0, .error = static_cast<int>(GetLastError())};
  }
  return {.regular = true, .size = size.QuadPart, .error = 0};
}

std::int64_t CheckFile::Read(std::span<std::byte> into, int& error) {
  DWORD count = 0;
  const auto wanted = static_cast<DWORD>(std::min<std::size_t>(into.size(), MAXDWORD));
  if (!ReadFile(os::NativeOf<HANDLE>(file_.Get()), into.data(), wanted, &count, nullptr)) {
    error = static_cast<int>(GetLastError());
    return -1;
  }
  error = 0;
  return count;
}

}  // namespace feeder
