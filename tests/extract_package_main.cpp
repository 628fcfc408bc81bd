// Runs the update sequence's extraction step on its own, on the package in
// update/ as it is now: exit status 0 when it was extracted completely, 2
// otherwise.
#include "basedir.h"
#include "extract.h"

int main() {
  HashedPackage package;
  const Path file = UpdateDir() + kPackageName;
  if (!HashPackageFile(file, &package)) package.file = file;
  return ExtractPackage(package) ? 0 : 2;
}
