#include "log_file.h"

#include <windows.h>

#include <cstdio>

#include "owned_handle_win32.h"

namespace {

// Append access alone: the system then puts every write at the end of the
// file, whoever else appends. Shared in every way, so that another updater
// can append and rotate while this one holds the file.
OwnedHandle OpenToAppend(const Path& path) {
  return OwnedHandle(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

bool AppendToLog(const Path& path, const Path& rotated, const std::string& lines,
                 std::uint64_t limit) {
  OwnedHandle file = OpenToAppend(path);
  if (!file.valid()) return false;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file.get(), &size) && size.QuadPart > 0 &&
      static_cast<std::uint64_t>(size.QuadPart) + lines.size() > limit) {
    file = OwnedHandle();
    // When another updater rotated it first, this one appends to the new
    // file that one started.
    MoveFileExW(path.c_str(), rotated.c_str(), MOVEFILE_REPLACE_EXISTING);
    file = OpenToAppend(path);
    if (!file.valid()) return false;
  }
  DWORD written = 0;
  return WriteFile(file.get(), lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr) &&
         written == lines.size();
}

std::string LocalTimeStamp() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char text[40];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", now.wYear, now.wMonth,
                now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  return text;
}

unsigned long CurrentProcessId() { return GetCurrentProcessId(); }
