#include <wx/app.h>
#include <wx/debug.h>
#include <wx/log.h>

#include "window.h"

int main(int argc, char** argv) {
  BeginToolkitStart();
  wxSetAssertHandler(nullptr);
  wxLog::SetLogLevel(wxLOG_Info);
  return wxEntry(argc, argv);
}
