#include "path.h"

#include "text.h"

std::string PathToUtf8(const Path& path) { return path; }

bool SamePath(const Path& a, const Path& b) { return a == b; }

bool PathFromUtf8(const std::string& utf8, Path* path) {
  if (!IsValidUtf8(utf8)) {
    path->clear();
    return false;
  }
  *path = utf8;
  return true;
}
