#include <windows.h>
#include <wx/app.h>
#include <wx/debug.h>
#include <wx/log.h>

#include "window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  BeginToolkitStart();
  wxSetAssertHandler(nullptr);
  wxLog::SetLogLevel(wxLOG_Info);
  return wxEntry(instance, previous, commandLine, show);
}
