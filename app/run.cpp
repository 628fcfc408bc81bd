#include "run.h"

#include <chrono>

#include "basedir.h"
#include "download.h"
#include "extract.h"
#include "install.h"
#include "package_check.h"
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

  // Only a package that differs from the installed one is sent.
  ConditionalGet conditional = InstalledPackageConditions();
  const auto phase_start = std::chrono::steady_clock::now();
  DownloadResult fetched = DownloadPackage(&conditional, false, phase_start);
  // A run with nothing complete to install (no package, the installed one
  // again, a broken or hostile one, one not genuine or too old) leaves the
  // application alone: no prompt, nothing stopped or moved. The check
  // reports its own outcome, but for a package that never came.
  CheckedPackage checked =
      CheckPackage(config::kPublicKeys, config::kMinPackageTime, fetched, conditional);
  // A package rebuilt from the kept one is proved by its signature, or,
  // without a key, by the extraction's checks; failing those, the whole
  // package comes in the same run.
  bool extracted = false;
  if (checked.verdict == PackageVerdict::kInstall) extracted = ExtractPackage(checked.package);
  if (fetched.rebuilt && (checked.verdict == PackageVerdict::kNotProved ||
                          (checked.verdict == PackageVerdict::kInstall && !extracted))) {
    if (checked.verdict == PackageVerdict::kInstall)
      Report("The package rebuilt from the kept one does not unpack; it is downloaded whole\n");
    fetched = DownloadPackage(&conditional, true, phase_start);
    checked = CheckPackage(config::kPublicKeys, config::kMinPackageTime, fetched, conditional);
    if (checked.verdict == PackageVerdict::kInstall) extracted = ExtractPackage(checked.package);
  }
  if (checked.verdict == PackageVerdict::kNoPackage) {
    ReportOutcome(RunOutcome::kDownloadFailed, fetched.failure);
    return false;
  }
  if (checked.verdict != PackageVerdict::kInstall) return false;
  if (!extracted) {
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
