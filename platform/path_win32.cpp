#include "path.h"

#include <windows.h>

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
