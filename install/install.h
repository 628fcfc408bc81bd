#pragma once

#include <chrono>

#include "lock.h"
#include "path.h"

// Where the install step works and which program it controls. The update
// sequence uses DefaultInstallSettings(); tests point it elsewhere.
struct InstallSettings {
  Path base_dir;        // ends in a separator
  Path main_app_image;  // executable file name, found at base_dir
};

// BaseDir and the compiled-in main application name.
InstallSettings DefaultInstallSettings();

// How long the install step waits for stopped instances of the main
// application to end before it moves files over theirs.
inline constexpr std::chrono::seconds kTerminationWait{10};

// True when a process of this installation's main application is running:
// one whose executable is base_dir + main_app_image, compared as the
// system compares file names (SamePath). A program of the same name
// elsewhere, or one whose path this process may not read (another user's),
// does not count. Main thread.
bool IsMainAppRunning();
bool IsMainAppRunning(const InstallSettings& settings);

// Keeps a second updater out of this installation for the whole run: takes
// the lock file BaseDir + "update/updater.lock" (update/ must exist; it is
// never created), held until `lock` dies or the process ends. On failure
// writes one line to standard output, reports the run's outcome (see
// report.h) and returns false: the run must then end at once, touching
// nothing. Main thread, first thing in a run.
bool LockUpdateRun(FileLock* lock);
bool LockUpdateRun(const InstallSettings& settings, FileLock* lock);

// Settles an install that a killed run left unfinished (see
// transaction.h): rolls it back or completes it, and clears update/. Then,
// in every run that gets this far, empties update/leftover/
// (EmptyLeftovers in transaction.h). An undo waits while the main
// application runs: one line says so, the journal stays for a later run,
// and this returns false. False too when the settling failed. The run must
// then end without touching update/; the outcome is reported here, where
// the reason is known. Main thread, right after LockUpdateRun.
bool RecoverInterruptedInstall();
bool RecoverInterruptedInstall(const InstallSettings& settings);

// The install step: stop the main application if it runs, move the unpacked
// package over BaseDir, start the main application again if it was running,
// empty BaseDir + "update/". The move is all or nothing: when it fails, the
// old version is put back and started again instead. When an instance
// cannot be stopped (no right to, or it does not end within
// kTerminationWait), nothing is installed or started and a line names its
// process id. A start that fails is reported in one line. Reports the run's
// outcome (installed, or install failed). Main thread, with the
// run lock held; called by the update sequence or from the restart prompt's
// button handler; blocks until done.
void InstallUpdate();
void InstallUpdate(const InstallSettings& settings);
