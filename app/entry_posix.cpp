#include <wx/app.h>
#include <wx/debug.h>
#include <wx/log.h>

#include "myapp.h"
#include "window.h"

int main(int argc, char** argv) {
  wxSetAssertHandler(nullptr);
  wxLog::SetLogLevel(wxLOG_Info);
  if (argc <= 1 && !RunUpToPrompt()) return 1;
  BeginToolkitStart();
  return EndRun(wxEntry(argc, argv));
}
