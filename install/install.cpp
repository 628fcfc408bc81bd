#include "install.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>
#include <vector>

#include "basedir.h"
#include "processes.h"
#include "report.h"
#include "transaction.h"
#include "updater_config.h"

namespace {

// Where this installation's main application is.
Path MainAppPath(const InstallSettings& settings) {
  return WithTrailingSeparator(settings.base_dir) + settings.main_app_image;
}

// The processes of this installation's main application. The file name
// goes first: it is cheaper to compare, and on its own it would take in
// programs of the same name in other directories.
std::vector<ProcessId> MainAppInstances(const InstallSettings& settings) {
  std::vector<ProcessId> ids;
  if (settings.main_app_image.empty()) return ids;
  const Path app = MainAppPath(settings);
  std::vector<ProcessEntry> processes;
  if (!ListProcesses(&processes)) return ids;
  for (const ProcessEntry& p : processes) {
    if (SamePath(p.image_name, settings.main_app_image) && SamePath(p.image_path, app))
      ids.push_back(p.id);
  }
  return ids;
}

// Stops every instance and waits, at most `wait` in all, until each has
// ended (and so let go of its files). False, with the id of one that did
// not end or could not even be told to, when any is still running.
bool StopAll(const InstallSettings& settings, const std::vector<ProcessId>& ids,
             std::chrono::milliseconds wait, ProcessId* survivor) {
  std::vector<ProcessControl> stopped;
  std::vector<ProcessId> stopped_ids;
  bool refused = false;
  for (const ProcessId id : ids) {
    ProcessControl process(id);
    if (process.Terminate()) {
      stopped.push_back(std::move(process));
      stopped_ids.push_back(id);
    } else {
      refused = true;  // out of reach (access denied), or gone meanwhile
    }
  }
  size_t still_running = 0;
  if (!WaitForProcessesToEnd(stopped, wait, &still_running)) {
    *survivor = stopped_ids[still_running];
    return false;
  }
  if (!refused) return true;
  // Which of the refused ones are really still there.
  for (const ProcessId id : MainAppInstances(settings)) {
    if (std::find(ids.begin(), ids.end(), id) != ids.end()) {
      *survivor = id;
      return false;
    }
  }
  return true;
}

}  // namespace

InstallSettings DefaultInstallSettings() {
  InstallSettings settings;
  settings.base_dir = GetBaseDir();
  PathFromUtf8(config::kMainApp, &settings.main_app_image);
  return settings;
}

bool IsMainAppRunning() { return IsMainAppRunning(DefaultInstallSettings()); }

bool IsMainAppRunning(const InstallSettings& settings) {
  return !MainAppInstances(settings).empty();
}

bool LockUpdateRun(FileLock* lock) { return LockUpdateRun(DefaultInstallSettings(), lock); }

bool LockUpdateRun(const InstallSettings& settings, FileLock* lock) {
  const InstallPaths paths = InstallPathsFor(settings.base_dir);
  switch (lock->Acquire(paths.lock)) {
    case LockResult::kAcquired:
      return true;
    case LockResult::kBusy:
      Report("Another updater is running in %s; this one ends\n", PathToUtf8(paths.base).c_str());
      ReportOutcome(RunOutcome::kAnotherUpdater);
      return false;
    case LockResult::kFailed:
      break;
  }
  Report("Cannot lock %s; this updater ends\n", PathToUtf8(paths.lock).c_str());
  ReportOutcome(RunOutcome::kNotStarted, "no working directory to lock");
  return false;
}

bool RecoverInterruptedInstall() { return RecoverInterruptedInstall(DefaultInstallSettings()); }

bool RecoverInterruptedInstall(const InstallSettings& settings) {
  const InstallPaths paths = InstallPathsFor(settings.base_dir);
  // The undo moves the application's files: never under a running one (the
  // user may have started it again after the crash, or it started this
  // updater). The journal waits for a run that finds it ended.
  if (InterruptedInstallNeedsUndo(paths) && IsMainAppRunning(settings)) {
    Report(
        "An interrupted install must be rolled back while %s runs: it is left for a run "
        "after the main application has ended\n",
        PathToUtf8(MainAppPath(settings)).c_str());
    ReportOutcome(RunOutcome::kInstallFailed,
                  "an interrupted install waits until the main application has ended");
    return false;
  }
  if (!RecoverInterruptedInstall(paths)) return false;
  // Here rather than only after an install: a run with nothing to install
  // would otherwise leave them for as long as no new package comes.
  EmptyLeftovers(paths);
  return true;
}

void InstallUpdate() { InstallUpdate(DefaultInstallSettings()); }

void InstallUpdate(const InstallSettings& settings) {
  const InstallPaths paths = InstallPathsFor(settings.base_dir);

  const Path app = MainAppPath(settings);

  // Asked afresh: the answer that chose between prompt and silent install
  // may be stale by now.
  const std::vector<ProcessId> instances = MainAppInstances(settings);
  const bool was_running = !instances.empty();
  // Everything that can be done with the application still running is done
  // first (the package's data and the plan go to the disk), so that it is
  // down only for the moves.
  PackageList plan;
  SwapResult swap = PrepareSwap(paths, &plan);
  const bool stopping = was_running && swap == SwapResult::kInstalled;
  // Termination is asynchronous, and a file that an ending process still
  // holds cannot be replaced. An instance that is still there after the
  // wait would make the swap fail half-way at best, and the user would find
  // the application neither updated nor running as they left it: nothing
  // is installed then, and nothing started. update/ stays as it is but for
  // the plan, which was never carried out, and the package, all of whose
  // files are unpacked.
  ProcessId survivor = 0;
  if (stopping && !StopAll(settings, instances, kTerminationWait, &survivor)) {
    AbandonSwap(paths);
    Report("Cannot stop %s (process %lu); nothing installed\n", PathToUtf8(app).c_str(), survivor);
    ReportOutcome(RunOutcome::kInstallFailed, "a running instance could not be stopped");
    return;
  }
  // From here until the new version runs, the application is down.
  if (stopping) ReportToLog("The main application has ended; installing\n");
  if (swap == SwapResult::kInstalled) swap = CompleteSwap(paths, plan);
  // After a rollback this is the old version again. An undo that could not
  // finish leaves a mix that is better not started, and everything in
  // update/ for the next run to finish the undo.
  if (swap == SwapResult::kStuck) {
    ReportOutcome(RunOutcome::kInstallFailed,
                  "the previous version could not be restored; the next run tries again");
    return;
  }
  // Until the record names the new package, the journal and the pending
  // record stay: the next run records it before anything else.
  const bool recorded = swap != SwapResult::kInstalled || KeepPackageRecord(paths);
  if (stopping && !StartDetachedProgram(app))
    Report("Cannot start %s again\n", PathToUtf8(app).c_str());
  ClearWorkingDirectory(paths, !recorded);
  if (swap != SwapResult::kInstalled)
    ReportOutcome(RunOutcome::kInstallFailed, "the previous version is back in place");
  else if (!recorded)
    ReportOutcome(RunOutcome::kInstallFailed,
                  "the new version is in place, but not yet recorded; the next run records it");
  else
    ReportOutcome(RunOutcome::kInstalled);
}
