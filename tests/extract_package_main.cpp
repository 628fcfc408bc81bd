// Runs the update sequence's extraction step on its own: exit status 0 when
// the package was extracted completely, 2 otherwise.
#include "extract.h"

int main() { return ExtractPackage() ? 0 : 2; }
