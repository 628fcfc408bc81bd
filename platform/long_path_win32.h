#pragma once

// Included by the Windows files of the platform layer only.

#include "path.h"

// The path to hand to the system's file functions: short paths as they are,
// long ones (near MAX_PATH and beyond) made absolute and given the prefix
// \\?\ , which lifts the length limit but makes the system take the path
// literally (no '/', no "..", no doubled separators: all normalised here
// first).
// Any thread.
Path SystemPath(const Path& path);
