#include "log_file.h"

#include <windows.h>

#include <cstdio>
#include <utility>

#include "long_path_win32.h"
#include "owned_handle_win32.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Append access alone: the system then puts every write at the end of the
// file, whoever else appends. Shared in every way, so that another updater
// can append and rotate while this one holds the file. Reading attributes
// lets the rotation learn which file it is.
OwnedHandle OpenToAppend(const Path& path) {
  return OwnedHandle(CreateFileW(SystemPath(path).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                 kShareAll, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Whether `file` is the file now at `path`: the same volume and the same
// file index, which is what an inode number is on POSIX.
bool IsFileAt(HANDLE file, const Path& path) {
  const OwnedHandle current(CreateFileW(SystemPath(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  BY_HANDLE_FILE_INFORMATION held, found;
  return current.valid() && GetFileInformationByHandle(file, &held) &&
         GetFileInformationByHandle(current.get(), &found) &&
         held.dwVolumeSerialNumber == found.dwVolumeSerialNumber &&
         held.nFileIndexHigh == found.nFileIndexHigh && held.nFileIndexLow == found.nFileIndexLow;
}

// The log file of the last append, kept open: a run writes thousands of
// lines, and an open per line costs more than the line (more still where a
// virus scanner looks at every open).
struct OpenLog {
  Path path;
  OwnedHandle file;
};
OpenLog gOpen;

HANDLE OpenLogAt(const Path& path) {
  if (gOpen.file.valid() && gOpen.path == path) return gOpen.file.get();
  CloseLog();
  OwnedHandle file = OpenToAppend(path);
  if (!file.valid()) return INVALID_HANDLE_VALUE;
  gOpen.path = path;
  gOpen.file = std::move(file);
  return gOpen.file.get();
}

}  // namespace

void CloseLog() { gOpen = OpenLog(); }

bool AppendToLog(const Path& path, const Path& rotated, const std::string& lines,
                 std::uint64_t limit, bool* renamed) {
  HANDLE file = OpenLogAt(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file, &size) && size.QuadPart > 0 &&
      static_cast<std::uint64_t>(size.QuadPart) + lines.size() > limit) {
    // When another updater has rotated it meanwhile, the file at `path` is
    // the new one it started: that one stays, and this append goes there.
    const bool still_ours = IsFileAt(file, path);
    CloseLog();
    if (still_ours &&
        MoveFileExW(SystemPath(path).c_str(), SystemPath(rotated).c_str(),
                    MOVEFILE_REPLACE_EXISTING) &&
        renamed)
      *renamed = true;
    file = OpenLogAt(path);
    if (file == INVALID_HANDLE_VALUE) return false;
  }
  DWORD written = 0;
  if (WriteFile(file, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr) &&
      written == lines.size())
    return true;
  CloseLog();  // the next append tries afresh
  return false;
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
