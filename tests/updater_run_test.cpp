// Runs of the built updater around an install: the run lock, and the
// recovery of a run that was killed. POSIX only (the paths in its lines).

#include <gtest/gtest.h>

#include "install.h"
#include "support.h"
#include "transaction.h"
#include "updater_installation.h"

using namespace testing_support;
using Installation = UpdaterInstallation;

TEST(UpdaterRun, WhileAnotherRunHoldsTheLockEndsAtOnceTouchingNothing) {
  Installation inst;
  WriteFile(inst.dir / "update/update.zip", "the package the other run installs");
  FileLock other_run;
  ASSERT_EQ(other_run.Acquire(inst.dir / "update/updater.lock"), LockResult::kAcquired);
  const Tree before = Snapshot(inst.dir.path());
  const RunResult r = RunProgram({inst.exe}, inst.dir.path());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "Another updater is running in " + inst.dir.path() +
                       "/; this one ends\nOutcome: another updater was running\n");
  EXPECT_EQ(r.err, "");  // no download was tried
  EXPECT_EQ(WithoutLog(Snapshot(inst.dir.path())), before);
  // Its lines are in the log too: the log comes before the lock.
  EXPECT_NE(
      ReadFile(inst.dir / "update/updater.log").find("] Outcome: another updater was running"),
      std::string::npos);
}

TEST(UpdaterRun, WithoutItsWorkingDirectoryEndsAtOnceWithALine) {
  Installation inst;
  RemoveTree(inst.dir / "update");
  const Tree before = Snapshot(inst.dir.path());
  const RunResult r = RunProgram({inst.exe}, inst.dir.path());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "Cannot lock " + inst.dir.path() +
                       "/update/updater.lock; this updater ends\n"
                       "Outcome: not started: no working directory to lock\n");
  EXPECT_EQ(Snapshot(inst.dir.path()), before);
}

TEST(UpdaterRun, FirstRollsBackTheInstallOfAKilledRun) {
  Installation inst;
  MakeDirs(inst.dir / "update/unzip/lib");
  WriteFile(inst.dir / "update/unzip/tesko.exe", "new main application");
  WriteFile(inst.dir / "update/unzip/lib/new.dll", "new");
  Tree old_version = Snapshot(inst.dir.path());
  for (auto it = old_version.begin(); it != old_version.end();)
    it = it->first.rfind("update", 0) == 0 ? old_version.erase(it) : std::next(it);
  ASSERT_EQ(SwapInPackage(InstallPathsFor(inst.dir.path())), SwapResult::kInstalled);
  // Its last record cut off: killed before the swap was on the disk.
  const std::string journal = ReadFile(inst.dir / "update/install.journal");
  WriteFile(inst.dir / "update/install.journal", journal.substr(0, journal.size() - 5));

  const RunResult r = RunProgram({inst.exe}, inst.dir.path());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out.find("Rolling back an interrupted install\n"), 0u) << r.out;
  const Tree update = Snapshot(inst.dir / "update");
  Tree installed = Snapshot(inst.dir.path());
  for (auto it = installed.begin(); it != installed.end();)
    it = it->first.rfind("update", 0) == 0 ? installed.erase(it) : std::next(it);
  EXPECT_EQ(installed, old_version);
  EXPECT_TRUE(WithoutLog(update).empty());
}

TEST(UpdaterRun, FinishingTheInstallOfAKilledRunKeepsItsPackageRecord) {
  Installation inst;
  MakeDirs(inst.dir / "update/unzip");
  WriteFile(inst.dir / "update/unzip/tesko.exe", "new main application");
  const std::string record = "blake2b=" + std::string(128, 'a') + "\nsize=20\n";
  WriteFile(inst.dir / "update/pending.record", record);
  // Killed between the swap and the clean-up.
  ASSERT_EQ(SwapInPackage(InstallPathsFor(inst.dir.path())), SwapResult::kInstalled);

  const RunResult r = RunProgram({inst.exe}, inst.dir.path());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out.find("Finishing an interrupted install\n"), 0u) << r.out;
  EXPECT_EQ(ReadFile(inst.dir / "tesko.exe"), "new main application");
  const Tree update = WithoutLog(Snapshot(inst.dir / "update"));
  EXPECT_EQ(update.size(), 1u);
  EXPECT_EQ(ReadFile(inst.dir / "update/installed.record"), record);
}
