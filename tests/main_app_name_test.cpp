// The running check under the compiled-in main application name ("tesko.exe"
// unless configured otherwise). Other test programs may run a process of
// that name too, so ctest runs this one alone (resource lock main_app).

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "fake_app.h"
#include "install.h"
#include "processes.h"
#include "support.h"
#include "updater_config.h"

using namespace testing_support;

TEST(MainAppName, OnlyTheCopyBesideTheProgramCounts) {
  // BaseDir is this test program's directory.
  TempDir dir;
  const std::string elsewhere = dir / config::kMainApp;
  const std::string beside = ExecutableDirectory() + "/" + config::kMainApp;
  fake_app::Install(elsewhere);
  fake_app::Install(beside);
  const pid_t other = fake_app::StartChild(elsewhere, dir.path());
  ASSERT_GT(other, 0);
  EXPECT_FALSE(IsMainAppRunning()) << "a same-named program in another directory";
  const pid_t pid = fake_app::StartChild(beside, dir.path());
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(IsMainAppRunning());
  for (const pid_t p : {pid, other}) {
    kill(p, SIGKILL);
    WaitChild(p, 10);
  }
  unlink(beside.c_str());
  unlink((beside + ".runs").c_str());
}
