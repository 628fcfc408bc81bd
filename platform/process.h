#pragma once

// Processes: the running program itself, and the process table.

#include "path.h"

// Directory of the running executable, without a trailing separator except
// for a root ("/" or "C:\"). Empty when it cannot be determined. Any thread.
Path ExecutableDirectory();
