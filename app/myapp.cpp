#include "myapp.h"

#include <wx/image.h>

#include "report.h"
#include "run.h"
#include "shapd.h"
#include "window.h"

namespace {

wxAppConsole* CreateApp() {
  // The toolkit stops the process itself when the build options differ.
  wxAppConsoleBase::CheckBuildOptions(WX_BUILD_OPTIONS_SIGNATURE, "your program");
  return new MyApp;
}

wxAppInitializer gAppInitializer(CreateApp);

}  // namespace

bool MyApp::OnInitGui() {
  if (!wxApp::OnInitGui()) return false;
  wxInitAllImageHandlers();
  return true;
}

bool MyApp::OnInit() {
  EndToolkitStart();
  return wxAppConsoleBase::OnInit();
}

int MyApp::OnRun() {
  if (!TakeDuePrompt()) return 1;
  auto* frame = new ShapedFrame();
  ApplyButtonFaceColourKey(*frame);
  frame->Show(true);
  frame->CenterOnScreen(wxBOTH);
  wxApp::OnRun();  // until the prompt is gone
  // Its restart button reported the install's outcome already.
  ReportOutcome(RunOutcome::kPromptClosed);
  return 1;
}
