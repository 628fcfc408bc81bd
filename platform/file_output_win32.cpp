#include "file_output.h"

#include <stdio.h>
#include <windows.h>

#include "long_path_win32.h"
#include "owned_handle_win32.h"

FilePtr OpenFileForWriting(const Path& path) {
  FILE* file = _wfopen(SystemPath(path).c_str(), L"wb");
  return file ? WithBuffer(file) : nullptr;
}

bool CloseWrittenFile(FilePtr file) { return fclose(file.release()) == 0; }

void SetFileTimeFromDos(const Path& path, uint32_t dos_date_time) {
  OwnedHandle file(CreateFileW(SystemPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr));
  if (!file.valid()) return;
  FILETIME creation, access, write;
  if (!GetFileTime(file.get(), &creation, &access, &write)) return;
  FILETIME local, universal;
  if (!DosDateTimeToFileTime(static_cast<WORD>(dos_date_time >> 16),
                             static_cast<WORD>(dos_date_time & 0xFFFF), &local))
    return;
  // Applies the time zone's present offset, as the system's own tools do.
  if (!LocalFileTimeToFileTime(&local, &universal)) return;
  SetFileTime(file.get(), &universal, &access, &universal);
}

void SetUnixPermissions(const Path&, unsigned) {}
