// The install is all or nothing: failures injected at every move, a
// journal cut off in the middle of a record; the run lock. (Real updater
// runs killed during their install: crash_test.)

#include <gtest/gtest.h>

#include <functional>

#include "durable.h"
#include "fake_app.h"
#include "files.h"
#include "install.h"
#include "support.h"
#include "transaction.h"
#include "two_versions.h"

using namespace testing_support;

namespace {

bool EndsWith(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// Whole-tree snapshot of an installation, leaving out its working directory
// and the stand-in main application's record of its runs.
Tree Installed(const std::string& base) {
  Tree tree = Snapshot(base);
  for (auto it = tree.begin(); it != tree.end();) {
    if (it->first == "update" || it->first.rfind("update/", 0) == 0 || EndsWith(it->first, ".runs"))
      it = tree.erase(it);
    else
      ++it;
  }
  return tree;
}

// An older installation and the unpacked package over it (TwoVersions).
struct Installation {
  TempDir base;
  InstallSettings settings{base.path() + "/", "never-running.exe"};
  Tree old_version, new_version;

  explicit Installation(int files) {
    const std::string unzip = base / "update/unzip";
    MakeDirs(unzip);
    for (const char* dir : {"bin", "lib/plugins", "share/doc"}) {
      MakeDirs(base / dir);
      MakeDirs(unzip + "/" + dir);
    }
    MakeDirs(unzip + "/added/deeper");
    for (const auto& [name, content] : TwoVersions(files)) {
      if (!content.first.empty()) WriteFile(base / name, content.first);
      if (!content.second.empty()) WriteFile(unzip + "/" + name, content.second);
    }
    WriteFile(base / "update/update.zip", "zip");
    TakeVersions();
  }

  // The two versions, as the trees stand now.
  void TakeVersions() {
    old_version = Installed(base.path());
    new_version = old_version;
    for (const auto& [name, content] : Snapshot(base / "update/unzip")) new_version[name] = content;
  }

  std::string Outcome() const {
    const Tree now = Installed(base.path());
    if (now == old_version) return "old";
    if (now == new_version) return "new";
    return "mixed";
  }
};

std::string Quietly(const std::function<void()>& step) {
  testing::internal::CaptureStdout();
  step();
  return testing::internal::GetCapturedStdout();
}

// Swaps the package in, then cuts the journal's "swapped" record off, as a
// kill while it was written would; returns the journal that is left.
std::string SwapAndCutItsRecord(const Installation& inst, const InstallPaths& paths) {
  EXPECT_EQ(SwapInPackage(paths), SwapResult::kInstalled);
  const std::string journal = ReadFile(inst.base / "update/install.journal");
  const std::string cut = journal.substr(0, journal.size() - 11);
  WriteFile(inst.base / "update/install.journal", cut);
  return cut;
}

}  // namespace

TEST(AllOrNothing, AFailureAtAnyMoveLeavesTheOldVersionRunning) {
  // The main application is part of the package: its new build differs
  // from the old by what follows the program.
  unsigned long k = 1, moves = 0;
  for (;; ++k) {
    Installation inst(36);
    const std::string image = fake_app::UniqueName("aon");
    const std::string app = inst.base / image;
    fake_app::Install(app);
    fake_app::Install(inst.base / "update/unzip/" + image);
    WriteFile(inst.base / "update/unzip/" + image,
              ReadFile(inst.base / "update/unzip/" + image) + "new build");
    inst.settings.main_app_image = image;
    inst.TakeVersions();
    // Each file that replaces one takes two moves, each added file one.
    moves = 0;
    for (const auto& [name, content] : Snapshot(inst.base / "update/unzip")) {
      if (content == "<dir>") continue;
      moves += inst.old_version.count(name) ? 2 : 1;
    }
    const pid_t old_run = fake_app::StartChild(app, inst.base.path());
    ASSERT_GT(old_run, 0);

    FailNthMoveForTesting(k);
    const std::string out = Quietly([&] { InstallUpdate(inst.settings); });
    FailNthMoveForTesting(0);

    const std::vector<fake_app::Run> runs = fake_app::WaitForRuns(app, 2);
    // What the started instance runs: the program file it was started from.
    const std::string started =
        runs.size() == 2 ? ReadFile("/proc/" + std::to_string(runs[1].pid) + "/exe") : "";
    for (const fake_app::Run& run : runs) fake_app::StopStarted(run.pid, app);
    WaitChild(old_run, 10);
    EXPECT_TRUE(Snapshot(inst.base / "update").empty()) << k;
    ASSERT_EQ(runs.size(), 2u) << k;
    if (inst.Outcome() == "new") {  // k is past the last move
      EXPECT_EQ(started, inst.new_version[image]);
      break;
    }
    ASSERT_EQ(inst.Outcome(), "old") << "fault at move " << k << "\n" << out;
    EXPECT_EQ(started, inst.old_version[image]) << k;
    EXPECT_NE(out.find("restoring the previous version"), std::string::npos) << out;
  }
  EXPECT_EQ(k, moves + 1);
}

TEST(AllOrNothing, ADirectoryWhereTheNewFileGoesRollsBackMidWay) {
  Installation inst(30);
  // Where a file that the package adds goes.
  MakeDirs(inst.base / "lib/plugins/f26.dat/inside");
  inst.TakeVersions();
  const std::string out = Quietly([&] { InstallUpdate(inst.settings); });
  EXPECT_EQ(inst.Outcome(), "old");
  EXPECT_NE(out.find("Cannot install " + inst.base.path() + "/lib/plugins/f26.dat; restoring"),
            std::string::npos)
      << out;
  EXPECT_TRUE(Snapshot(inst.base / "update").empty());
}

TEST(AllOrNothing, AFileWherePackageDirectoryGoesStopsBeforeAnyMove) {
  Installation inst(30);
  WriteFile(inst.base / "added", "a file of the old version");
  inst.TakeVersions();
  const std::string out = Quietly([&] { InstallUpdate(inst.settings); });
  EXPECT_EQ(inst.Outcome(), "old");
  EXPECT_NE(out.find("Cannot install " + inst.base.path() + "/added: not a directory"),
            std::string::npos)
      << out;
  EXPECT_TRUE(Snapshot(inst.base / "update").empty());
}

TEST(Journal, ACompleteSwapIsFinishedAndATornRecordRollsBack) {
  for (const bool torn : {false, true}) {
    Installation inst(24);
    const InstallPaths paths = InstallPathsFor(inst.settings.base_dir);
    ASSERT_EQ(SwapInPackage(paths), SwapResult::kInstalled);
    ASSERT_EQ(inst.Outcome(), "new");
    // As a kill right after the swap leaves it; or the power lost while its
    // last record was written.
    std::string journal = ReadFile(inst.base / "update/install.journal");
    ASSERT_EQ(journal.substr(journal.size() - 11), "C c60bf9f2\n");
    if (torn)
      WriteFile(inst.base / "update/install.journal", journal.substr(0, journal.size() - 3));

    std::string out = Quietly([&] { EXPECT_TRUE(RecoverInterruptedInstall(paths)); });
    EXPECT_EQ(inst.Outcome(), torn ? "old" : "new") << out;
    EXPECT_TRUE(Snapshot(inst.base / "update").empty());
    // Nothing left to do for the next run.
    out = Quietly([&] { EXPECT_TRUE(RecoverInterruptedInstall(paths)); });
    EXPECT_TRUE(out.empty()) << out;
  }
}

TEST(Journal, ADamagedPlanMeansNothingWasMoved) {
  Installation inst(12);
  const InstallPaths paths = InstallPathsFor(inst.settings.base_dir);
  // A plan cut off before its end record, as a kill while writing it leaves.
  DurableFile journal;
  ASSERT_TRUE(journal.Create(paths.journal));
  ASSERT_TRUE(journal.Append("updater-journal 1 f90a72f3\nF f0.dat 1234"));
  const Tree before = Installed(inst.base.path());
  Quietly([&] { EXPECT_TRUE(RecoverInterruptedInstall(paths)); });
  EXPECT_EQ(Installed(inst.base.path()), before);
  EXPECT_TRUE(Snapshot(inst.base / "update").empty());
}

TEST(Journal, AnUndoThatCannotFinishKeepsEverythingForTheNextTry) {
  Installation inst(24);
  const InstallPaths paths = InstallPathsFor(inst.settings.base_dir);
  const std::string journal = SwapAndCutItsRecord(inst, paths);
  // The new files of added/deeper/ have nowhere to go back to.
  RemoveTree(inst.base / "update/unzip/added/deeper");

  std::string out = Quietly([&] { EXPECT_FALSE(RecoverInterruptedInstall(paths)); });
  EXPECT_NE(out.find("could not be restored completely"), std::string::npos) << out;
  EXPECT_EQ(inst.Outcome(), "mixed");
  // The journal and the package stay; what could move back did.
  EXPECT_EQ(ReadFile(inst.base / "update/install.journal").rfind(journal, 0), 0u);
  EXPECT_TRUE(Exists(inst.base / "update/unzip/added/f4.dat"));

  MakeDirs(inst.base / "update/unzip/added/deeper");
  out = Quietly([&] { EXPECT_TRUE(RecoverInterruptedInstall(paths)); });
  EXPECT_EQ(inst.Outcome(), "old") << out;
  EXPECT_TRUE(Snapshot(inst.base / "update").empty());
}

TEST(Journal, AnUndoBlockedOnThreeRunsLeavesThatEntryAndFinishesTheRest) {
  Installation inst(24);
  const InstallPaths paths = InstallPathsFor(inst.settings.base_dir);
  SwapAndCutItsRecord(inst, paths);
  // The user saved a file into a directory that the install created.
  WriteFile(inst.base / "added/mine.txt", "the user's");

  for (int run = 1; run <= 2; ++run) {
    const std::string out = Quietly([&] { EXPECT_FALSE(RecoverInterruptedInstall(paths)); });
    EXPECT_NE(out.find("could not be restored completely"), std::string::npos) << run << out;
  }
  // Neither this run nor a swap may clear what the undo still needs.
  std::string out = Quietly([&] { EXPECT_EQ(SwapInPackage(paths), SwapResult::kStuck); });
  EXPECT_NE(out.find("not settled yet"), std::string::npos) << out;

  out = Quietly([&] { EXPECT_TRUE(RecoverInterruptedInstall(paths)); });
  EXPECT_NE(out.find("Left after 3 tries: " + inst.base.path() + "/added\n"), std::string::npos)
      << out;
  Tree expected = inst.old_version;
  expected["added"] = "<dir>";
  expected["added/mine.txt"] = "the user's";
  EXPECT_EQ(Installed(inst.base.path()), expected);
  EXPECT_TRUE(Snapshot(inst.base / "update").empty());
}

TEST(Journal, AJournalThatCannotBeReadEndsTheRunTouchingNothing) {
  Installation inst(12);
  const InstallPaths paths = InstallPathsFor(inst.settings.base_dir);
  // Open fails for no one here (the tests run as root); reading does.
  MakeDirs(inst.base / "update/install.journal");
  const Tree before = Snapshot(inst.base.path());
  const std::string out = Quietly([&] { EXPECT_FALSE(RecoverInterruptedInstall(paths)); });
  EXPECT_EQ(out,
            "Cannot read " + inst.base.path() + "/update/install.journal; this updater ends\n");
  EXPECT_EQ(Snapshot(inst.base.path()), before);
}

TEST(Journal, ASwappedRecordFollowedByAnUndoMarkIsRolledBack) {
  Installation inst(12);
  const InstallPaths paths = InstallPathsFor(inst.settings.base_dir);
  ASSERT_EQ(SwapInPackage(paths), SwapResult::kInstalled);
  // As a swap leaves it whose "swapped" record could not be flushed and
  // whose undo was then cut off.
  DurableFile journal;
  ASSERT_TRUE(journal.OpenExisting(paths.journal));
  ASSERT_TRUE(journal.Append("U d00c09b0\n"));
  Quietly([&] { EXPECT_TRUE(RecoverInterruptedInstall(paths)); });
  EXPECT_EQ(inst.Outcome(), "old");
}

TEST(RunLock, TheCleanUpKeepsTheLockOfTheRunInProgress) {
  Installation inst(12);
  FileLock lock;
  ASSERT_TRUE(LockUpdateRun(inst.settings, &lock));
  Quietly([&] { InstallUpdate(inst.settings); });
  EXPECT_EQ(inst.Outcome(), "new");
  EXPECT_EQ(Snapshot(inst.base / "update"), (Tree{{"updater.lock", ""}}));
  FileLock second;
  EXPECT_EQ(second.Acquire(inst.base / "update/updater.lock"), LockResult::kBusy);
}

TEST(RunLock, IsExclusiveAndItsFileGoesWithIt) {
  TempDir dir;
  const std::string path = dir / "updater.lock";
  FileLock first, second;
  ASSERT_EQ(first.Acquire(path), LockResult::kAcquired);
  EXPECT_EQ(second.Acquire(path), LockResult::kBusy);
  EXPECT_FALSE(second.held());
  first.Release();
  EXPECT_FALSE(Exists(path));
  // A file that a killed holder left behind takes the lock like a new one.
  WriteFile(path, "");
  EXPECT_EQ(second.Acquire(path), LockResult::kAcquired);
  EXPECT_EQ(first.Acquire(dir / "missing/updater.lock"), LockResult::kFailed);
}
