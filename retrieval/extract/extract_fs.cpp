#include "extract_fs.h"

#include <unzip.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "file_output.h"
#include "report.h"

bool MakeDirectory(const std::string& path, MakeDirResult* reason) {
  Path native;
  PathFromUtf8(path, &native);
  const MakeDirResult result = MakeOneDirectory(native);
  if (reason) *reason = result;
  return result == MakeDirResult::kCreated;
}

size_t ParentEnd(const char* path, size_t end) {
  size_t i = end;
  while (i > 0 && !IsNameSeparator(path[i - 1])) --i;
  if (i == 0) return 0;
  --i;
  while (i > 0 && IsNameSeparator(path[i - 1])) --i;
  return i;
}

namespace {

int CannotCreate(const char* prefix, std::string* failed_at) {
  if (failed_at)
    *failed_at = prefix;
  else
    Report("couldn't create directory %s\n", prefix);
  return 0;
}

}  // namespace

int MakeDirectoryPath(const std::string& path, std::string* failed_at) {
  size_t len = path.size();
  if (len == 0) return 0;
  std::unique_ptr<char[]> copy(new (std::nothrow) char[len + 1]);
  if (!copy) {
    Report("Error allocating memory\n");
    return UNZ_INTERNALERROR;
  }
  memcpy(copy.get(), path.c_str(), len + 1);
  if (IsNameSeparator(copy[len - 1])) copy[--len] = '\0';

  // Up from the full path to the deepest level that exists or can be made,
  // then down again: a path whose parent exists costs one call. Failures
  // other than a missing parent are passed over; the levels below them
  // fail in turn.
  std::vector<size_t> missing;  // ends of the levels still to make, deepest first
  size_t end = len;
  for (;;) {
    const char held = copy[end];
    copy[end] = '\0';
    MakeDirResult reason;
    MakeDirectory(copy.get(), &reason);
    if (reason != MakeDirResult::kParentMissing) {
      copy[end] = held;
      break;
    }
    const size_t parent = ParentEnd(copy.get(), end);
    if (parent == 0) return CannotCreate(copy.get(), failed_at);
    copy[end] = held;
    missing.push_back(end);
    end = parent;
  }
  while (!missing.empty()) {
    end = missing.back();
    missing.pop_back();
    const char held = copy[end];
    copy[end] = '\0';
    MakeDirResult reason;
    MakeDirectory(copy.get(), &reason);
    if (reason == MakeDirResult::kParentMissing) return CannotCreate(copy.get(), failed_at);
    copy[end] = held;
  }
  return 1;
}

void SetEntryFileTime(const std::string& path, uint32_t dos_date_time) {
  Path native;
  if (!PathFromUtf8(path, &native) || native.empty()) return;
  SetFileTimeFromDos(native, dos_date_time);
}
