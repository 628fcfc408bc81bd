#include "basedir.h"

#include "processes.h"

Path GetBaseDir() { return WithTrailingSeparator(ExecutableDirectory()); }

Path UpdateDir() { return GetBaseDir() + kWorkingDirName + kPathSeparator; }
