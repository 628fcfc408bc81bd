#include <wx/app.h>
#include <wx/debug.h>
#include <wx/log.h>

int main(int argc, char** argv) {
  wxSetAssertHandler(nullptr);
  wxLog::SetLogLevel(wxLOG_Info);
  return wxEntry(argc, argv);
}
