#include <wx/app.h>
#include <wx/debug.h>
#include <wx/log.h>

#include "toolkit_module.h"
#include "window.h"

extern "C" __attribute__((visibility("default"))) int updater_toolkit_main(int argc, char** argv) {
  wxSetAssertHandler(nullptr);
  wxLog::SetLogLevel(wxLOG_Info);
  BeginToolkitStart();
  return wxEntry(argc, argv);
}
