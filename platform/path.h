#pragma once

// Native path strings. Windows paths are UTF-16 (wchar_t) and use '\';
// POSIX paths are UTF-8 bytes and use '/'. Code above the platform layer
// builds paths only from Path, PATH_TEXT literals and kPathSeparator.

#include <string>

#ifdef _WIN32
using PathChar = wchar_t;
#define PATH_TEXT(s) L##s
inline constexpr PathChar kPathSeparator = L'\\';
#else
using PathChar = char;
#define PATH_TEXT(s) s
inline constexpr PathChar kPathSeparator = '/';
#endif

using Path = std::basic_string<PathChar>;

// Both separators count wherever a path is split (archive names bring '/').
inline bool IsPathSeparator(PathChar c) { return c == PATH_TEXT('/') || c == PATH_TEXT('\\'); }

// A directory path ending in a separator, so that names can be appended.
inline Path WithTrailingSeparator(Path path) {
  if (path.empty() || !IsPathSeparator(path.back())) path += kPathSeparator;
  return path;
}

// True when two paths (or names) name the same file as the system compares
// them: byte for byte on POSIX; on Windows without regard to letter case,
// with '/' as a backslash and without a \\?\ prefix.
// Spellings of one file that differ otherwise (a link, "..", a short name)
// count as different. Any thread.
bool SamePath(const Path& a, const Path& b);

// Native path to UTF-8 (defined with the text conversions, text_*.cpp).
// Any thread.
std::string PathToUtf8(const Path& path);

// UTF-8 to a native path. Text that is not valid UTF-8 yields an empty path
// and false, so that nothing is ever created under a garbled name. Any thread.
bool PathFromUtf8(const std::string& utf8, Path* path);
