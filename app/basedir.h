#pragma once

#include "path.h"

// BaseDir: the full directory of the running executable, always ending in
// a separator. Computed afresh for every call; any thread.
Path GetBaseDir();
