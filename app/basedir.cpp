#include "basedir.h"

#include "processes.h"

Path GetBaseDir() { return WithTrailingSeparator(ExecutableDirectory()); }
