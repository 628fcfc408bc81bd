#include <windows.h>
#include <wx/app.h>
#include <wx/debug.h>
#include <wx/log.h>

#include <cstdlib>

#include "run.h"
#include "window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  wxSetAssertHandler(nullptr);
  wxLog::SetLogLevel(wxLOG_Info);
  if (__argc <= 1 && !RunUpToPrompt()) return 1;
  BeginToolkitStart();
  return EndRun(wxEntry(instance, previous, commandLine, show));
}
