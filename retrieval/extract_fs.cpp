#include "extract_fs.h"

#include <unzip.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "file_output.h"

bool MakeDirectory(const std::string& path, MakeDirResult* reason) {
  Path native;
  PathFromUtf8(path, &native);
  const MakeDirResult result = MakeOneDirectory(native);
  if (reason) *reason = result;
  return result == MakeDirResult::kCreated;
}

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

int MakeDirectoryPath(const std::string& path) {
  size_t len = path.size();
  if (len == 0) return 0;
  std::unique_ptr<char[]> copy(new (std::nothrow) char[len + 1]);
  if (!copy) {
    printf("Error allocating memory\n");
    return UNZ_INTERNALERROR;
  }
  memcpy(copy.get(), path.c_str(), len + 1);
  if (IsSeparator(copy[len - 1])) copy[--len] = '\0';
  if (MakeDirectory(copy.get())) return 1;

  // Level by level from the second character on, so that a leading
  // separator never yields an empty prefix. Levels that exist already are
  // passed over; only a missing parent makes the rest impossible.
  for (size_t i = 1;; ++i) {
    while (i < len && !IsSeparator(copy[i])) ++i;
    const char held = copy[i];
    copy[i] = '\0';
    MakeDirResult reason;
    MakeDirectory(copy.get(), &reason);
    if (reason == MakeDirResult::kParentMissing) {
      printf("couldn't create directory %s\n", copy.get());
      return 0;
    }
    if (held == '\0') return 1;
    copy[i] = held;
  }
}

void SetEntryFileTime(const std::string& path, uint32_t dos_date_time) {
  Path native;
  if (!PathFromUtf8(path, &native) || native.empty()) return;
  SetFileTimeFromDos(native, dos_date_time);
}
