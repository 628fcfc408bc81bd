#pragma once

// Writing files: creating them by native path (the downloaded package,
// extracted files), continuing and reading back a partly downloaded one,
// stamping them with an archive entry's time, giving them stored permission
// bits. Any thread; nothing here prints.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <utility>

#include "path.h"

inline constexpr size_t kFileBufferSize = 64 * 1024;

// Closes the file; the write buffer it carries outlives the close.
struct FileCloser {
  std::unique_ptr<char[]> buffer;
  void operator()(FILE* file) const { fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Creates or truncates the file at path for binary writing ("wb"), with a
// write buffer of kFileBufferSize bytes: small files reach the system in one
// write, large ones in few. A link standing at path is not followed: the
// open fails. Null on failure.
FilePtr OpenFileForWriting(const Path& path);

// Opens an existing file for binary writing at its end ("ab"), with the same
// write buffer, and puts its length into `size`. A link standing at path is
// not followed: the open fails. Null on failure.
FilePtr OpenFileForAppending(const Path& path, uint64_t* size);

// Opens an existing file for binary reading ("rb") and puts its length into
// `size`. Null on failure.
FilePtr OpenFileForReading(const Path& path, uint64_t* size);

// Owns file and gives it a write buffer of kFileBufferSize bytes (the C
// library's own buffer otherwise, when none can be allocated).
inline FilePtr WithBuffer(FILE* file) {
  FileCloser closer{std::unique_ptr<char[]>(new (std::nothrow) char[kFileBufferSize])};
  if (closer.buffer) setvbuf(file, closer.buffer.get(), _IOFBF, kFileBufferSize);
  return FilePtr(file, std::move(closer));
}

// Opens the file at path for binary reading ("rb"), without a buffer of its
// own: callers read in large blocks. Null on failure.
FilePtr OpenFileForReading(const Path& path);

// Moves a file opened for reading to `offset` bytes from its start; false
// when it cannot.
bool SeekFile(FILE* file, uint64_t offset);

// Flushes and closes; false when buffered data could not be written.
bool CloseWrittenFile(FilePtr file);

// Sets the file's times from an MS-DOS date/time (date in the high 16 bits,
// time in the low 16), read as local time: creation (where the system keeps
// one) and last-write time get it, the last-access time is kept. A file that
// cannot be opened, or a value that is no valid date, leaves the times alone.
void SetFileTimeFromDos(const Path& path, uint32_t dos_date_time);

// Applies Unix permission bits (the low nine bits of mode) to a file.
// Systems without them ignore this.
void SetUnixPermissions(const Path& path, unsigned mode);
