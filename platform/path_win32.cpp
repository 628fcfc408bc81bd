#include "path.h"

#include <windows.h>

#include <vector>

#include "long_path_win32.h"

namespace {

// The \\?\ prefix of the long form is not part of the name, and '/'
// separates as the backslash does.
Path Comparable(const Path& path) {
  Path out = path.compare(0, 4, L"\\\\?\\") == 0 && path.compare(4, 4, L"UNC\\") != 0
                 ? path.substr(4)
                 : path;
  for (wchar_t& c : out) {
    if (c == L'/') c = L'\\';
  }
  return out;
}

}  // namespace

bool SamePath(const Path& a, const Path& b) {
  // Ordinal and case-insensitive: the file system's own rule, the same in
  // every locale.
  const Path x = Comparable(a), y = Comparable(b);
  return CompareStringOrdinal(x.data(), static_cast<int>(x.size()), y.data(),
                              static_cast<int>(y.size()), TRUE) == CSTR_EQUAL;
}

std::string PathToUtf8(const Path& path) {
  if (path.empty()) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()),
                                       nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), &out[0], size,
                      nullptr, nullptr);
  return out;
}

bool PathFromUtf8(const std::string& utf8, Path* path) {
  path->clear();
  if (utf8.empty()) return true;
  // MB_ERR_INVALID_CHARS makes the size query fail on invalid input.
  const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                       static_cast<int>(utf8.size()), nullptr, 0);
  if (size <= 0) return false;
  path->resize(static_cast<size_t>(size));
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &(*path)[0], size);
  return true;
}

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
