#include "install.h"

#include <cstdio>
#include <vector>

#include "basedir.h"
#include "processes.h"
#include "report.h"
#include "transaction.h"
#include "updater_config.h"

namespace {

// Stops every process with the image name, and hands them back so that the
// caller can wait for them to end.
std::vector<ProcessControl> TerminateAll(const Path& image_name) {
  std::vector<ProcessControl> stopped;
  std::vector<ProcessEntry> processes;
  ListProcesses(&processes);
  for (const ProcessEntry& p : processes) {
    if (p.image_name != image_name) continue;
    ProcessControl process(p.id);
    if (process.Terminate()) stopped.push_back(std::move(process));
  }
  return stopped;
}

}  // namespace

InstallSettings DefaultInstallSettings() {
  InstallSettings settings;
  settings.base_dir = GetBaseDir();
  PathFromUtf8(config::kMainApp, &settings.main_app_image);
  return settings;
}

bool IsMainAppRunning() { return IsMainAppRunning(DefaultInstallSettings().main_app_image); }

bool IsMainAppRunning(const Path& image_name) {
  if (image_name.empty()) return false;
  std::vector<ProcessEntry> processes;
  if (!ListProcesses(&processes)) return false;
  for (const ProcessEntry& p : processes) {
    if (p.image_name == image_name) return true;
  }
  return false;
}

bool LockUpdateRun(FileLock* lock) { return LockUpdateRun(DefaultInstallSettings(), lock); }

bool LockUpdateRun(const InstallSettings& settings, FileLock* lock) {
  const InstallPaths paths = InstallPathsFor(settings.base_dir);
  switch (lock->Acquire(paths.lock)) {
    case LockResult::kAcquired:
      return true;
    case LockResult::kBusy:
      Report("Another updater is running in %s; this one ends\n", PathToUtf8(paths.base).c_str());
      return false;
    case LockResult::kFailed:
      break;
  }
  Report("Cannot lock %s; this updater ends\n", PathToUtf8(paths.lock).c_str());
  return false;
}

bool RecoverInterruptedInstall() { return RecoverInterruptedInstall(DefaultInstallSettings()); }

bool RecoverInterruptedInstall(const InstallSettings& settings) {
  return RecoverInterruptedInstall(InstallPathsFor(settings.base_dir));
}

void InstallUpdate() { InstallUpdate(DefaultInstallSettings()); }

void InstallUpdate(const InstallSettings& settings) {
  const InstallPaths paths = InstallPathsFor(settings.base_dir);

  // Asked afresh: the answer that chose between prompt and silent install
  // may be stale by now.
  const bool was_running = IsMainAppRunning(settings.main_app_image);
  if (was_running) {
    // Termination is asynchronous, and a file that an ending process still
    // holds cannot be replaced. Past the bound the move goes ahead all the
    // same; a file still held makes it roll back.
    WaitForProcessesToEnd(TerminateAll(settings.main_app_image), kTerminationWait);
  }
  const SwapResult swap = SwapInPackage(paths);
  // After a rollback this is the old version again. An undo that could not
  // finish leaves a mix that is better not started, and everything in
  // update/ for the next run to finish the undo.
  if (swap == SwapResult::kStuck) return;
  if (swap == SwapResult::kInstalled) KeepPackageRecord(paths);
  if (was_running) StartDetachedProgram(paths.base + settings.main_app_image);
  ClearWorkingDirectory(paths);
}
