#include "run.h"

#include "basedir.h"
#include "fetch.h"
#include "install.h"
#include "report.h"
#include "transaction.h"
#include "updater_config.h"

namespace {

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

  // A run with nothing complete to install (no package, the installed one
  // again, a broken or hostile one, one not genuine or too old) leaves the
  // application alone: no prompt, nothing stopped or moved.
  if (!ObtainPackage(config::kPublicKeys, config::kMinPackageTime)) return false;

  if (IsMainAppRunning()) {
    ReportToLog("The main application is running: the restart prompt waits for the user\n");
    return true;
  }
  InstallUpdate();
  return false;
}

}  // namespace

bool RunUpToPrompt() {
  const bool prompt_due = UpdateUpToPrompt();
  gStage = prompt_due ? Stage::kPromptDue : Stage::kEnded;
  return prompt_due;
}

bool TakeDuePrompt() {
  if (gStage == Stage::kNotBegun) RunUpToPrompt();
  if (gStage != Stage::kPromptDue) return false;
  gStage = Stage::kPromptShown;
  return true;
}

int EndRun(int toolkit_status) {
  if (gStage != Stage::kPromptDue) return toolkit_status;
  // The unpacked package stays for the next run; the application runs on.
  ReportOutcome(RunOutcome::kInstallFailed, "the restart prompt could not be shown");
  return 1;
}
