#include "process.h"

#include <windows.h>
#include <shlwapi.h>

#include <vector>

Path ExecutableDirectory() {
  // GetModuleFileNameW truncates silently; grow until the name fits.
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return Path();
    if (n < buffer.size()) break;
    buffer.resize(buffer.size() * 2);
  }
  // Drops the file name and its backslash; a root such as C:\ keeps its own.
  PathRemoveFileSpecW(buffer.data());
  return Path(buffer.data());
}
