#pragma once

// Free space of volumes. Any thread; nothing here prints.

#include <cstdint>

#include "path.h"

// Bytes that this user may still write on the volume that holds the
// existing directory; false when that cannot be told (statvfs /
// GetDiskFreeSpaceExW).
bool FreeSpaceOnVolume(const Path& directory, uint64_t* bytes);
