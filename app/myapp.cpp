#include "myapp.h"

#include <wx/image.h>

#include "download.h"
#include "extract.h"
#include "install.h"
#include "package_check.h"
#include "shapd.h"
#include "updater_config.h"
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

bool MyApp::OnInit() { return wxAppConsoleBase::OnInit(); }

int MyApp::OnRun() {
  // One updater at a time, and none before a killed one's install is
  // settled: both come before anything else touches the installation.
  FileLock lock;
  if (!LockUpdateRun(&lock) || !RecoverInterruptedInstall()) return 1;

  // Only a package that differs from the installed one is sent.
  ConditionalGet conditional = InstalledPackageConditions();
  PackageHasher hasher;
  const DownloadOutcome downloaded = DownloadPackage(&hasher, &conditional);
  // A run with nothing complete to install (no package, the installed one
  // again, a broken or hostile one, one not genuine or older than the
  // installed one) leaves the application alone: no prompt, nothing stopped
  // or moved.
  if (CheckPackage(config::kPublicKeys, downloaded, &hasher, conditional) !=
      PackageVerdict::kInstall)
    return 1;
  if (!ExtractPackage()) return 1;

  if (IsMainAppRunning()) {
    auto* frame = new ShapedFrame();
    ApplyButtonFaceColourKey(*frame);
    frame->Show(true);
    frame->CenterOnScreen(wxBOTH);
    wxApp::OnRun();  // until the prompt is gone
  } else {
    InstallUpdate();
  }
  return 1;
}
