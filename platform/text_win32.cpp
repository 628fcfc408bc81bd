#include "text.h"

#include <windows.h>

#include "path.h"

namespace {

constexpr UINT kChineseCodePage = 936;

// Text in code_page to UTF-16; false when it is not valid there.
bool ToWide(UINT code_page, const std::string& text, std::wstring* wide) {
  wide->clear();
  if (text.empty()) return true;
  const int size = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(),
                                       static_cast<int>(text.size()), nullptr, 0);
  if (size <= 0) return false;
  wide->resize(static_cast<size_t>(size));
  return MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(),
                             static_cast<int>(text.size()), &(*wide)[0], size) == size;
}

}  // namespace

bool IsValidUtf8(const std::string& text) {
  std::wstring wide;
  return ToWide(CP_UTF8, text, &wide);
}

bool LegacyChineseToUtf8(const std::string& bytes, std::string* utf8) {
  std::wstring wide;
  if (!ToWide(kChineseCodePage, bytes, &wide)) return false;
  *utf8 = PathToUtf8(wide);
  return true;
}

std::string UpperCaseForNames(const std::string& utf8) {
  std::wstring wide;
  if (utf8.empty() || !ToWide(CP_UTF8, utf8, &wide)) return UpperCaseAscii(utf8);
  // The invariant locale's upper case: the mapping the file systems use,
  // whatever the user's language.
  std::wstring upper(wide.size(), L'\0');
  if (LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, wide.data(), static_cast<int>(wide.size()),
                   &upper[0], static_cast<int>(upper.size())) != static_cast<int>(wide.size()))
    return UpperCaseAscii(utf8);
  return PathToUtf8(upper);
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
