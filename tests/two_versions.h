#pragma once

// The files of an older installation and of a package over it, for the
// tests of the all-or-nothing install: files spread over a few
// directories. The package replaces a third of the old files, leaves the
// others, and adds files of its own, some in nested directories that only
// it has.

#include <map>
#include <string>
#include <utility>

// name -> (old content or "", new content or "")
inline std::map<std::string, std::pair<std::string, std::string>> TwoVersions(int files) {
  std::map<std::string, std::pair<std::string, std::string>> all;
  const char* dirs[] = {"", "bin/", "lib/plugins/", "share/doc/", "added/", "added/deeper/"};
  for (int i = 0; i < files; ++i) {
    const std::string name = std::string(dirs[i % 6]) + "f" + std::to_string(i) + ".dat";
    const bool in_old = i % 6 < 4 && i % 3 != 2;
    const bool in_new = i % 6 >= 4 || i % 3 != 0;
    all[name] = {in_old ? "old " + name : "", in_new ? "new " + name : ""};
  }
  return all;
}
