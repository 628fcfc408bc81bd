#include <dlfcn.h>

#include <string>

#include "basedir.h"
#include "report.h"
#include "run.h"
#include "toolkit_module.h"

namespace {

using ToolkitEntry = int (*)(int, char**);

// Beside the program first, as an installation carries the module; else
// where the build made it, for a program copied out of the build.
ToolkitEntry LoadToolkit() {
  const std::string places[] = {GetBaseDir() + kToolkitModuleName, UPDATER_TOOLKIT_MODULE};
  std::string failures;
  for (const std::string& place : places) {
    // Never unloaded: the toolkit's libraries stay until the process ends.
    if (void* module = dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL)) {
      if (void* entry = dlsym(module, kToolkitEntryName))
        return reinterpret_cast<ToolkitEntry>(entry);
    }
    failures += std::string(failures.empty() ? "" : "; ") + dlerror();
  }
  Report("Cannot load the toolkit: %s\n", failures.c_str());
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc <= 1 && !RunUpToPrompt()) return 1;
  const ToolkitEntry toolkit = LoadToolkit();
  return EndRun(toolkit ? toolkit(argc, argv) : 1);
}
