#pragma once

// The install's swap as a transaction: the installation directory ends up
// holding exactly the old version or exactly the new one, whether a move
// fails, the process is killed or the power goes.
//
// Every file that the package replaces is first renamed aside into
// update/backup/, then the new file is renamed in; directories that the
// package adds are created and recorded. Before the first move the whole
// plan is written to update/install.journal and put on the disk; once
// every move is on the disk a "swapped" record follows it, or a "rolled
// back" record once an undo is. A run that finds a journal (one that was
// killed left it) finishes that install before doing anything else: it
// undoes the moves when the swap was not complete, and only clears up
// when it was. Which moves happened is read from the tree itself, since
// each move is a single rename: the journal is written three times per
// install, not once per file.
//
// Main thread, with the run lock held (see LockUpdateRun in install.h).

#include <vector>

#include "path.h"
#include "tree.h"

// Where one install works; every path ends in a separator except the files.
struct InstallPaths {
  Path base;            // the installation directory
  Path update;          // base + "update/": the working directory, never created here
  Path package;         // update + "update.zip": the package as downloaded
  Path unzip;           // update + "unzip/": the unpacked package
  Path backup;          // update + "backup/": the replaced files while the swap runs
  Path leftover;        // update + "leftover/": backups that could not be deleted
  Path journal;         // update + "install.journal"
  Path lock;            // update + "updater.lock"
  Path log;             // update + "updater.log": kept across runs
  Path old_log;         // update + "updater.log.1": the log before its last rotation
  Path record;          // update + "installed.record": the installed package's record
  Path pending_record;  // update + "pending.record": the record of the package
                        // being installed, written before the swap
  Path kept_package;    // update + "installed.zip": the package installed last
  Path range_state;     // update + "single-ranges.state": how the server takes ranges
};

InstallPaths InstallPathsFor(const Path& base_dir);

enum class SwapResult {
  kInstalled,   // the new version is in place (also: the package was empty)
  kRolledBack,  // a step failed; the old version is in place again
  kStuck,       // a step failed and so did its undo: the journal stays for
                // the next run, which tries the undo again
};

// Moves the unpacked package onto the base directory, backup first, with
// the journal. Writes a line to standard output when it rolls back. Leaves
// the clean-up of update/ to the caller. The same as PrepareSwap followed
// by CompleteSwap.
SwapResult SwapInPackage(const InstallPaths& paths);

// The swap in two steps, so that the step that needs the main application
// stopped is only the moves. PrepareSwap plans the swap, empties the
// backup area, puts the journal's plan on the disk and puts the unpacked
// files' data on the disk; it touches nothing of the installation, so the
// application may still run. kInstalled here means ready (*plan holds the steps, none when
// the package is empty); kRolledBack, with a line, that nothing can be
// installed; kStuck that an earlier install is not settled yet.
SwapResult PrepareSwap(const InstallPaths& paths, PackageList* plan);
// Makes the moves of a prepared swap and records the outcome.
SwapResult CompleteSwap(const InstallPaths& paths, const PackageList& plan);
// Forgets a prepared swap that will not be made: removes its journal and
// its backup area, empty as PrepareSwap left it.
void AbandonSwap(const InstallPaths& paths);

// After a complete swap: renames the package (update.zip) over the kept
// package (installed.zip), then the pending record, if any, over the
// installed package's record, and puts the renames on the disk. Called before
// the clean-up removes the journal, so that no finished install stays
// unrecorded. False, with a line, when the rename failed: the journal and
// the pending record must then stay for the next run to record it.
bool KeepPackageRecord(const InstallPaths& paths);

// Empties update/ after a finished or rolled-back swap: everything but the
// run lock, the log, the installed package's record, the kept package and
// the server's range state,
// and the journal
// last, so that a run killed while clearing up still finds its journal and
// clears up again. With `unrecorded` (KeepPackageRecord failed) the
// journal and the pending record stay too.
void ClearWorkingDirectory(const InstallPaths& paths, bool unrecorded = false);

// True when a killed run's install must be undone, which moves files of the
// installation; false when there is none, or what it left needs only
// update/ settled (or cannot be read: RecoverInterruptedInstall says so).
bool InterruptedInstallNeedsUndo(const InstallPaths& paths);

// Finishes the install of a run that was killed during it, if any: rolls
// it back or completes it, then clears update/. False when the journal
// cannot be settled (an undo step fails, or the finished install cannot be
// recorded): the run must then end without touching update/, and the next
// run tries again. After three runs that failed so, what cannot be done is
// given up with a line (an entry left as it is, a package left
// unrecorded) and the rest settled, so that no such failure stops every
// later update.
bool RecoverInterruptedInstall(const InstallPaths& paths);

// Deletes what update/leftover/ holds (backups that an install's clean-up
// could not delete: on Windows, still mapped by another process), then the
// directory itself. Each entry that still cannot be deleted stays for a
// later run, named in one line.
void EmptyLeftovers(const InstallPaths& paths);
