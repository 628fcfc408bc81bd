#include "path.h"

#include <windows.h>

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
