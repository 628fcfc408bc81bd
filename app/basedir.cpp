#include "basedir.h"

#include "processes.h"

Path GetBaseDir() {
  Path dir = ExecutableDirectory();
  if (dir.empty() || !IsPathSeparator(dir.back())) dir += kPathSeparator;
  return dir;
}
