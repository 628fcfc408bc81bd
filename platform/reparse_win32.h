#pragma once

// Included by the Windows files of the platform layer (and its tests) only.

#include <windows.h>

// Of all reparse points, only symbolic links and mount points (junctions)
// lead elsewhere; cloud placeholders, deduplicated files and the like are
// ordinary files and directories to whoever walks a tree.
inline bool IsLinkReparseTag(DWORD tag) {
  return tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT;
}
