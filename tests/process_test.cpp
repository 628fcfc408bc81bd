// The platform's process table, termination and detached launch, on real
// processes.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "fake_app.h"
#include "processes.h"
#include "support.h"

using namespace testing_support;

namespace {

bool Listed(ProcessId id, const std::string& image) {
  std::vector<ProcessEntry> processes;
  if (!ListProcesses(&processes)) return false;
  return std::any_of(processes.begin(), processes.end(),
                     [&](const ProcessEntry& p) { return p.id == id && p.image_name == image; });
}

}  // namespace

TEST(ProcessTable, ListsProcessesByTheirExecutablesFileName) {
  EXPECT_TRUE(Listed(static_cast<ProcessId>(getpid()), "process_test"));

  // A program whose file was removed while it runs keeps its name.
  TempDir t;
  const std::string image = fake_app::UniqueName("gone");
  fake_app::Install(t / image);
  const pid_t pid = fake_app::StartChild(t / image, t.path());
  ASSERT_GT(pid, 0);
  ASSERT_EQ(unlink((t / image).c_str()), 0);
  EXPECT_TRUE(Listed(static_cast<ProcessId>(pid), image));
  kill(pid, SIGKILL);
  WaitChild(pid, 10);
}

TEST(ProcessControl, TerminatesAndWaitsUntilEveryProcessHasEnded) {
  TempDir t;
  const std::string app = t / fake_app::UniqueName("stop");
  fake_app::Install(app);
  const pid_t first = fake_app::StartChild(app, t.path());
  const pid_t second = fake_app::StartChild(app, t.path());
  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);

  std::vector<ProcessControl> processes;
  processes.emplace_back(static_cast<ProcessId>(first));
  processes.emplace_back(static_cast<ProcessId>(second));
  ASSERT_TRUE(processes[0].is_open());
  ASSERT_TRUE(processes[1].is_open());
  EXPECT_TRUE(processes[0].Terminate());
  EXPECT_TRUE(processes[0].WaitForEnd(std::chrono::seconds(10)));
  // One still runs: the wait gives up at its bound.
  EXPECT_FALSE(WaitForProcessesToEnd(processes, std::chrono::milliseconds(50)));
  EXPECT_TRUE(processes[1].Terminate());
  EXPECT_TRUE(WaitForProcessesToEnd(processes, std::chrono::seconds(10)));
  // Both ended before being reaped: the wait does not rely on being the parent.
  for (const pid_t pid : {first, second}) {
    bool killed = false;
    EXPECT_TRUE(fake_app::ChildHasEnded(pid, &killed));
    EXPECT_TRUE(killed);
  }

  // Its id is free now: nothing to open, stop or wait for.
  ProcessControl gone(static_cast<ProcessId>(first));
  EXPECT_FALSE(gone.is_open());
  EXPECT_FALSE(gone.Terminate());
  EXPECT_TRUE(gone.WaitForEnd(std::chrono::milliseconds(0)));
}

TEST(DetachedStart, StartsTheProgramNamedByTheWholePath) {
  TempDir t;
  // "my" would be started by anything that split the path at its space.
  const std::string app = t / "my app \xc3\xbc.exe", decoy = t / "my";
  fake_app::Install(app);
  fake_app::Install(decoy);

  ASSERT_TRUE(StartDetachedProgram(app));

  const std::vector<fake_app::Run> runs = fake_app::WaitForRuns(app, 1);
  ASSERT_EQ(runs.size(), 1u);
  char cwd[4096];
  ASSERT_TRUE(getcwd(cwd, sizeof cwd));
  EXPECT_EQ(runs[0].cwd, cwd);
  EXPECT_NE(runs[0].parent, getpid());
  EXPECT_NE(runs[0].session, getsid(0));
  EXPECT_EQ(runs[0].stdout_target, "/dev/null");
  EXPECT_TRUE(fake_app::Runs(decoy).empty());
  fake_app::StopStarted(runs[0].pid, app);
}

TEST(DetachedStart, ReportsAProgramThatCannotBeStarted) {
  TempDir t;
  MakeDirs(t / "dir.exe");
  // Text without an interpreter line: a shell would run it, exec does not.
  WriteFile(t / "script.exe", "touch '" + t / "ran" + "'\n");
  ASSERT_EQ(chmod((t / "script.exe").c_str(), 0755), 0);
  EXPECT_FALSE(StartDetachedProgram(t / "missing.exe"));
  EXPECT_FALSE(StartDetachedProgram(t / "dir.exe"));
  EXPECT_FALSE(StartDetachedProgram(t / "script.exe"));
}
