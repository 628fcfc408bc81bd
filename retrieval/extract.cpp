#include "extract.h"

bool ExtractPackage() { return false; }
