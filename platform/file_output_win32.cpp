#include "file_output.h"

#include <io.h>
#include <stdio.h>
#include <windows.h>

#include "long_path_win32.h"
#include "owned_handle_win32.h"

FilePtr OpenFileForWriting(const Path& path) {
  FILE* file = _wfopen(SystemPath(path).c_str(), L"wb");
  return file ? WithBuffer(file) : nullptr;
}

namespace {

// Owns an opened stream and reports the file's length.
FilePtr Measured(FILE* file, uint64_t* size) {
  if (!file) return nullptr;
  const __int64 length = _filelengthi64(_fileno(file));
  if (length < 0) {
    fclose(file);
    return nullptr;
  }
  *size = static_cast<uint64_t>(length);
  return WithBuffer(file);
}

}  // namespace

FilePtr OpenFileForAppending(const Path& path, uint64_t* size) {
  // A reparse point at the path is followed by the C library: refuse it first.
  const Path system = SystemPath(path);
  const DWORD attributes = GetFileAttributesW(system.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return nullptr;
  return Measured(_wfopen(system.c_str(), L"ab"), size);
}

FilePtr OpenFileForReading(const Path& path, uint64_t* size) {
  return Measured(_wfopen(SystemPath(path).c_str(), L"rb"), size);
}

FilePtr OpenFileForReading(const Path& path) {
  FILE* file = _wfopen(SystemPath(path).c_str(), L"rb");
  if (file) setvbuf(file, nullptr, _IONBF, 0);
  return FilePtr(file);
}

bool SeekFile(FILE* file, uint64_t offset) {
  return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
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
