#include "basedir.h"

#include "process.h"

Path GetBaseDir() {
  Path dir = ExecutableDirectory();
  if (dir.empty() || !IsPathSeparator(dir.back())) dir += kPathSeparator;
  return dir;
}
