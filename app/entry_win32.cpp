#include <windows.h>
#include <wx/app.h>
#include <wx/debug.h>
#include <wx/log.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  wxSetAssertHandler(nullptr);
  wxLog::SetLogLevel(wxLOG_Info);
  return wxEntry(instance, previous, commandLine, show);
}
