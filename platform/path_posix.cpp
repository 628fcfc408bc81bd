#include "path.h"

bool SamePath(const Path& a, const Path& b) { return a == b; }
