#include <dlfcn.h>

#include <string>

#include "basedir.h"
#include "report.h"
#include "run.h"
#include "toolkit_module.h"

namespace {

using ToolkitEntry = int (*)(int, char**);

// Only from the program's own directory: a module found anywhere else (a
// build tree, a directory that another user may write to) would run its
// code inside the updater.
ToolkitEntry LoadToolkit() {
  const std::string place = GetBaseDir() + kToolkitModuleName;
  // Never unloaded: the toolkit's libraries stay until the process ends.
  if (void* module = dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (void* entry = dlsym(module, kToolkitEntryName))
      return reinterpret_cast<ToolkitEntry>(entry);
  }
  const char* why = dlerror();
  Report("Cannot load the toolkit: %s\n", why ? why : "no entry point");
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc <= 1 && !RunUpToPrompt()) return 1;
  const ToolkitEntry toolkit = LoadToolkit();
  if (toolkit) return EndRun(toolkit(argc, argv));
  const int status = EndRun(1);
  // A run with arguments has not begun: it ends having done nothing.
  ReportOutcome(RunOutcome::kNotStarted, "the toolkit cannot be loaded");
  return status;
}
