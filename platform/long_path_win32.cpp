#include "long_path_win32.h"

#include <windows.h>

#include <vector>

Path SystemPath(const Path& path) {
  // CreateDirectoryW's limit is the lowest: MAX_PATH less room for an 8.3
  // name.
  constexpr size_t kShortEnough = MAX_PATH - 12;
  if (path.size() < kShortEnough || path.compare(0, 4, L"\\\\?\\") == 0 ||
      path.compare(0, 4, L"\\\\.\\") == 0)
    return path;
  // GetFullPathNameW takes paths of any length and does the normalising.
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::vector<wchar_t> full(size);
  const DWORD n = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  if (n == 0 || n >= size) return path;
  const Path absolute(full.data(), n);
  if (absolute.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + absolute.substr(2);
  return L"\\\\?\\" + absolute;
}
