// The install step with real processes: copies of a stand-in program run
// under unique image names, so that no test touches a process it did not
// start.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

#include "fake_app.h"
#include "install.h"
#include "support.h"
#include "transaction.h"
#include "updater_config.h"

using namespace testing_support;

namespace {

// An installation: the main application at base/<image>, a package
// unpacked into base/update/unzip/ that brings a new build of it, a changed
// file and a new nested directory, and a downloaded update.zip.
struct Installation {
  TempDir base;
  std::string image = fake_app::UniqueName("tk");
  std::string app = base / image;
  InstallSettings settings{base.path() + "/", image};

  Installation() {
    fake_app::Install(app);
    WriteFile(base / "data.txt", "old data");
    MakeDirs(base / "update/unzip/plugins/extra");
    fake_app::Install(base / "update/unzip" + "/" + image);
    WriteFile(base / "update/unzip/data.txt", "new data");
    WriteFile(base / "update/unzip/plugins/extra/p.dat", "plugin");
    WriteFile(base / "update/update.zip", "zip");
  }
  ~Installation() {
    for (const fake_app::Run& run : fake_app::Runs(app)) fake_app::StopStarted(run.pid, app);
  }

  void ExpectInstalledAndCleared() {
    EXPECT_EQ(ReadFile(base / "data.txt"), "new data");
    EXPECT_EQ(ReadFile(base / "plugins/extra/p.dat"), "plugin");
    EXPECT_TRUE(IsDir(base / "update"));
    EXPECT_TRUE(Snapshot(base / "update").empty());
  }
};

// Runs the install step with another current directory than the base;
// returns what it wrote.
std::string InstallFrom(const std::string& cwd, const InstallSettings& settings) {
  char previous[4096];
  EXPECT_TRUE(getcwd(previous, sizeof previous));
  EXPECT_EQ(chdir(cwd.c_str()), 0);
  testing::internal::CaptureStdout();
  InstallUpdate(settings);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(chdir(previous), 0);
  return out;
}

// Drops this process's right to signal processes of other users, which
// root otherwise has.
bool DropKillRight() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  data[CAP_KILL / 32].effective &= ~(1u << (CAP_KILL % 32));
  return syscall(SYS_capset, &header, data) == 0;
}

}  // namespace

TEST(InstallStep, StopsEveryInstanceMovesRelaunchesOnceAndClears) {
  Installation inst;
  TempDir elsewhere;
  const pid_t first = fake_app::StartChild(inst.app, inst.base.path());
  const pid_t second = fake_app::StartChild(inst.app, inst.base.path());
  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);
  EXPECT_TRUE(IsMainAppRunning(inst.settings));

  InstallFrom(elsewhere.path(), inst.settings);

  // Both had ended when the step returned: it waited for them.
  for (const pid_t pid : {first, second}) {
    bool killed = false;
    EXPECT_TRUE(fake_app::ChildHasEnded(pid, &killed)) << pid;
    EXPECT_TRUE(killed) << pid;
  }
  inst.ExpectInstalledAndCleared();
  EXPECT_FALSE(Exists(inst.base / "update/unzip"));

  // One new instance, started by full path from the base directory while
  // the updater's current directory was elsewhere, detached from it.
  const std::vector<fake_app::Run> runs = fake_app::WaitForRuns(inst.app, 3);
  ASSERT_EQ(runs.size(), 3u);
  const fake_app::Run& relaunched = runs[2];
  EXPECT_EQ(relaunched.cwd, elsewhere.path());
  EXPECT_NE(relaunched.parent, getpid());
  EXPECT_NE(relaunched.session, getsid(0));
  EXPECT_EQ(relaunched.stdout_target, "/dev/null");
  EXPECT_EQ(fake_app::Running(inst.image), std::vector<pid_t>{relaunched.pid});
}

TEST(InstallStep, NameDifferingInCaseIsNeitherSeenNorStopped) {
  Installation inst;
  std::string other_case = inst.image;
  std::transform(other_case.begin(), other_case.end(), other_case.begin(), ::toupper);
  const std::string other = inst.base / other_case;
  fake_app::Install(other);
  const pid_t pid = fake_app::StartChild(other, inst.base.path());
  ASSERT_GT(pid, 0);

  EXPECT_FALSE(IsMainAppRunning(inst.settings));
  InstallFrom(inst.base.path(), inst.settings);

  bool killed = false;
  EXPECT_FALSE(fake_app::ChildHasEnded(pid, &killed));
  inst.ExpectInstalledAndCleared();
  // The launch returns only after the program was executed: had it been
  // started, it would be listed now.
  EXPECT_TRUE(fake_app::Running(inst.image).empty());
  EXPECT_TRUE(fake_app::Runs(inst.app).empty());
  kill(pid, SIGKILL);
  WaitChild(pid, 10);
}

TEST(InstallStep, ASameNamedProgramInAnotherDirectoryIsNeitherSeenNorStopped) {
  Installation inst;
  TempDir other;
  fake_app::Install(other / inst.image);
  const pid_t pid = fake_app::StartChild(other / inst.image, other.path());
  ASSERT_GT(pid, 0);

  EXPECT_FALSE(IsMainAppRunning(inst.settings));
  InstallFrom(inst.base.path(), inst.settings);

  bool killed = false;
  EXPECT_FALSE(fake_app::ChildHasEnded(pid, &killed));
  inst.ExpectInstalledAndCleared();
  EXPECT_TRUE(fake_app::Runs(inst.app).empty()) << "started, as if it had been running";
  kill(pid, SIGKILL);
  WaitChild(pid, 10);
}

TEST(InstallStep, AnInstanceThatCannotBeStoppedMeansNothingInstalledOrStarted) {
  Installation inst;
  // An instance of another user, whose executable root may read but, once
  // without its right to signal others, not stop.
  ASSERT_EQ(chmod(inst.base.path().c_str(), 0777), 0);
  const pid_t other = fork();
  if (other == 0) {
    if (setgid(65534) == 0 && setuid(65534) == 0)
      execl(inst.app.c_str(), inst.app.c_str(), nullptr);
    _exit(127);
  }
  ASSERT_EQ(fake_app::WaitForRuns(inst.app, 1).size(), 1u);
  const Tree before = Snapshot(inst.base.path());
  TempDir logs;
  const pid_t installer = fork();
  if (installer == 0) {
    const int out = open((logs / "out").c_str(), O_WRONLY | O_CREAT, 0600);
    if (out < 0 || dup2(out, 1) < 0 || !DropKillRight()) _exit(2);
    InstallUpdate(inst.settings);
    _exit(0);
  }
  EXPECT_EQ(WaitChild(installer, 60), 0);

  EXPECT_EQ(ReadFile(logs / "out"),
            "Cannot stop " + inst.app + " (process " + std::to_string(other) +
                "); nothing installed\n" +
                "Outcome: install failed: a running instance could not be stopped\n");
  // All as it was, the package too.
  EXPECT_EQ(Snapshot(inst.base.path()), before);
  bool killed = false;
  EXPECT_FALSE(fake_app::ChildHasEnded(other, &killed));
  kill(other, SIGKILL);
  WaitChild(other, 10);
}

TEST(InstallStep, ThePackagesOwnUpdateDirectoryIsSkippedWithALineEach) {
  Installation inst;
  // A zipped installation directory, working directory included.
  MakeDirs(inst.base / "update/unzip/update/unzip");
  WriteFile(inst.base / "update/unzip/update/update.zip", "the packager's");
  const std::string out = InstallFrom(inst.base.path(), inst.settings);
  inst.ExpectInstalledAndCleared();
  for (const char* name : {"update", "update/unzip", "update/update.zip"})
    EXPECT_NE(
        out.find(std::string("Not installed: ") + name + " (the updater's working directory)\n"),
        std::string::npos)
        << out;
}

TEST(InstallStep, ARelaunchThatFailsIsReportedInOneLine) {
  Installation inst;
  // The new version's main application cannot be executed.
  WriteFile(inst.base / "update/unzip/" + inst.image, "not a program");
  const pid_t pid = fake_app::StartChild(inst.app, inst.base.path());
  ASSERT_GT(pid, 0);
  const std::string out = InstallFrom(inst.base.path(), inst.settings);
  EXPECT_NE(out.find("Cannot start " + inst.app + " again\n"), std::string::npos) << out;
  EXPECT_EQ(WaitChild(pid, 10), -1);
}

TEST(InstallStep, NothingRunningMeansNothingStoppedOrStartedAndLinkTargetsSurvive) {
  Installation inst;
  TempDir outside;
  MakeDirs(outside / "tree");
  WriteFile(outside / "tree/precious.txt", "p");
  ASSERT_EQ(symlink((outside / "tree").c_str(), (inst.base / "update/link").c_str()), 0);
  ASSERT_EQ(symlink((outside / "tree").c_str(), (inst.base / "update/unzip/plugins/l").c_str()), 0);
  // A package directory that begins with a dot is not installed.
  MakeDirs(inst.base / "update/unzip/.svn");
  WriteFile(inst.base / "update/unzip/.svn/entries", "e");
  const Tree outside_before = Snapshot(outside.path());

  InstallFrom(inst.base.path(), inst.settings);

  inst.ExpectInstalledAndCleared();
  EXPECT_EQ(Snapshot(outside.path()), outside_before);
  EXPECT_FALSE(Exists(inst.base / ".svn"));
  EXPECT_TRUE(fake_app::Running(inst.image).empty());
  EXPECT_TRUE(fake_app::Runs(inst.app).empty());
}

// The install of a killed run must be undone: never under the running main
// application. The journal waits for a run that finds it ended.
TEST(InstallStep, AnInterruptedInstallIsNotUndoneUnderTheRunningApplication) {
  Installation inst;
  const InstallPaths paths = InstallPathsFor(inst.base.path());
  ASSERT_EQ(SwapInPackage(paths), SwapResult::kInstalled);
  // Its last record cut off: killed before the swap was on the disk.
  const std::string journal = ReadFile(paths.journal);
  WriteFile(paths.journal, journal.substr(0, journal.size() - 5));
  const pid_t app = fake_app::StartChild(inst.app, inst.base.path());
  ASSERT_GT(app, 0);
  const Tree mixed = Snapshot(inst.base.path());

  testing::internal::CaptureStdout();
  EXPECT_FALSE(RecoverInterruptedInstall(inst.settings));
  const std::string out = testing::internal::GetCapturedStdout();

  EXPECT_EQ(out.find("An interrupted install must be rolled back while " + inst.app +
                     " runs: it is left for a run after the main application has ended\n"),
            0u)
      << out;
  EXPECT_TRUE(Snapshot(inst.base.path()) == mixed);
  bool killed = false;
  EXPECT_FALSE(fake_app::ChildHasEnded(app, &killed));

  kill(app, SIGKILL);
  while (!fake_app::ChildHasEnded(app, &killed)) usleep(10000);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(RecoverInterruptedInstall(inst.settings));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(ReadFile(inst.base / "data.txt"), "old data");
  EXPECT_FALSE(Exists(paths.journal));
}

// The record names the installed package before the install counts as
// done: a rename that fails keeps the journal and the pending record, and
// the next run records it.
TEST(InstallStep, AnInstallThatCannotBeRecordedIsRecordedByTheNextRun) {
  Installation inst;
  const InstallPaths paths = InstallPathsFor(inst.base.path());
  const std::string record = "blake2b=" + std::string(128, 'b') + "\nsize=3\n";
  WriteFile(paths.pending_record, record);
  MakeDirs(paths.record);  // what stands there refuses the rename
  TempDir elsewhere;

  const std::string out = InstallFrom(elsewhere.path(), inst.settings);

  EXPECT_NE(out.find("Cannot record the installed package in " + paths.record +
                     "; the next run records it\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Outcome: install failed: the new version is in place, but not yet "
                     "recorded"),
            std::string::npos)
      << out;
  EXPECT_EQ(ReadFile(inst.base / "data.txt"), "new data");
  EXPECT_TRUE(Exists(paths.journal));
  EXPECT_EQ(ReadFile(paths.pending_record), record);

  RemoveTree(paths.record);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(RecoverInterruptedInstall(inst.settings));
  const std::string next = testing::internal::GetCapturedStdout();
  EXPECT_EQ(next, "Finishing an interrupted install\n");
  EXPECT_EQ(ReadFile(paths.record), record);
  // The package installed is kept beside its record.
  EXPECT_TRUE(Snapshot(inst.base / "update") ==
              (Tree{{"installed.record", record}, {"installed.zip", "zip"}}));
}

// A record that can never be renamed stops the runs after it three times,
// not for ever.
TEST(InstallStep, ARecordThatCanNeverBeWrittenIsGivenUpAfterThreeRuns) {
  Installation inst;
  const InstallPaths paths = InstallPathsFor(inst.base.path());
  WriteFile(paths.pending_record, "blake2b=" + std::string(128, 'b') + "\nsize=3\n");
  MakeDirs(paths.record);
  TempDir elsewhere;
  InstallFrom(elsewhere.path(), inst.settings);  // the first try

  std::string out;
  for (int run = 2; run <= 3; ++run) {
    testing::internal::CaptureStdout();
    EXPECT_FALSE(RecoverInterruptedInstall(inst.settings)) << run;
    out = testing::internal::GetCapturedStdout();
  }
  testing::internal::CaptureStdout();
  EXPECT_TRUE(RecoverInterruptedInstall(inst.settings));
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("could not be recorded after 3 tries; it stays unrecorded"), std::string::npos)
      << out;
  EXPECT_EQ(ReadFile(inst.base / "data.txt"), "new data");
  EXPECT_FALSE(Exists(paths.journal));
  EXPECT_FALSE(Exists(paths.pending_record));
}

TEST(InstallStep, DefaultsAreBaseDirAndTheCompiledInName) {
  const InstallSettings defaults = DefaultInstallSettings();
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
  ASSERT_GT(n, 0);
  const std::string path(exe, static_cast<size_t>(n));
  EXPECT_EQ(defaults.base_dir, path.substr(0, path.rfind('/') + 1));
  EXPECT_EQ(defaults.main_app_image, config::kMainApp);
}
