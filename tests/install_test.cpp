// The install step with real processes: copies of a stand-in program run
// under unique image names, so that no test touches a process it did not
// start.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "fake_app.h"
#include "install.h"
#include "support.h"
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

// Runs the install step with another current directory than the base.
void InstallFrom(const std::string& cwd, const InstallSettings& settings) {
  char previous[4096];
  ASSERT_TRUE(getcwd(previous, sizeof previous));
  ASSERT_EQ(chdir(cwd.c_str()), 0);
  testing::internal::CaptureStdout();
  InstallUpdate(settings);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(chdir(previous), 0);
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

TEST(InstallStep, DefaultsAreBaseDirAndTheCompiledInName) {
  const InstallSettings defaults = DefaultInstallSettings();
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
  ASSERT_GT(n, 0);
  const std::string path(exe, static_cast<size_t>(n));
  EXPECT_EQ(defaults.base_dir, path.substr(0, path.rfind('/') + 1));
  EXPECT_EQ(defaults.main_app_image, config::kMainApp);
}
