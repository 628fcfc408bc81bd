#include "myapp.h"

#include <wx/image.h>

#include "basedir.h"
#include "download.h"
#include "extract.h"
#include "install.h"
#include "package_check.h"
#include "report.h"
#include "shapd.h"
#include "transaction.h"
#include "updater_config.h"
#include "window.h"

namespace {

wxAppConsole* CreateApp() {
  // The toolkit stops the process itself when the build options differ.
  wxAppConsoleBase::CheckBuildOptions(WX_BUILD_OPTIONS_SIGNATURE, "your program");
  return new MyApp;
}

wxAppInitializer gAppInitializer(CreateApp);

// How far this process's run has gone.
enum class Stage { kNotBegun, kPromptDue, kPromptShown, kEnded };
Stage gStage = Stage::kNotBegun;

// Held from the lock to the process's end, through the prompt.
FileLock gRunLock;

bool UpdateUpToPrompt() {
  // The log comes first, so that a run that ends at the lock says so too.
  const InstallPaths paths = InstallPathsFor(GetBaseDir());
  AttachLog(paths.log, paths.old_log);
  ReportToLog("Updater started in %s\n", PathToUtf8(paths.base).c_str());

  // One updater at a time, and none before a killed one's install is
  // settled: both come before anything else touches the installation.
  if (!LockUpdateRun(&gRunLock)) return false;
  if (!RecoverInterruptedInstall()) {
    ReportOutcome(RunOutcome::kInstallFailed, "an interrupted install could not be undone");
    return false;
  }

  // Only a package that differs from the installed one is sent.
  ConditionalGet conditional = InstalledPackageConditions();
  PackageHasher hasher;
  const DownloadOutcome downloaded = DownloadPackage(&hasher, &conditional);
  // A run with nothing complete to install (no package, the installed one
  // again, a broken or hostile one, one not genuine or older than the
  // installed one) leaves the application alone: no prompt, nothing stopped
  // or moved. The check reports its own outcome.
  if (CheckPackage(config::kPublicKeys, downloaded, &hasher, conditional) !=
      PackageVerdict::kInstall)
    return false;
  if (!ExtractPackage()) {
    // A failed download is why there is nothing to install; a package that
    // an earlier run left would have been installed all the same.
    const std::string download_failure = LastDownloadFailure();
    if (!download_failure.empty())
      ReportOutcome(RunOutcome::kDownloadFailed, download_failure);
    else
      ReportOutcome(RunOutcome::kPackageRefused, "it cannot be unpacked completely");
    return false;
  }

  if (IsMainAppRunning()) {
    ReportToLog("The main application is running: the restart prompt waits for the user\n");
    return true;
  }
  InstallUpdate();
  return false;
}

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

bool RunUpToPrompt() {
  const bool prompt_due = UpdateUpToPrompt();
  gStage = prompt_due ? Stage::kPromptDue : Stage::kEnded;
  return prompt_due;
}

int EndRun(int toolkit_status) {
  if (gStage != Stage::kPromptDue) return toolkit_status;
  // The unpacked package stays for the next run; the application runs on.
  ReportOutcome(RunOutcome::kInstallFailed, "the restart prompt could not be shown");
  return 1;
}

int MyApp::OnRun() {
  if (gStage == Stage::kNotBegun) RunUpToPrompt();
  if (gStage != Stage::kPromptDue) return 1;
  gStage = Stage::kPromptShown;
  auto* frame = new ShapedFrame();
  ApplyButtonFaceColourKey(*frame);
  frame->Show(true);
  frame->CenterOnScreen(wxBOTH);
  wxApp::OnRun();  // until the prompt is gone
  // Its restart button reported the install's outcome already.
  ReportOutcome(RunOutcome::kPromptClosed);
  return 1;
}
