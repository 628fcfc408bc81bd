// The running check under the compiled-in main application name ("tesko.exe"
// unless configured otherwise). Other test programs may run a process of
// that name too, so ctest runs this one alone (resource lock main_app).

#include <gtest/gtest.h>
#include <signal.h>

#include "fake_app.h"
#include "install.h"
#include "support.h"
#include "updater_config.h"

using namespace testing_support;

TEST(MainAppName, ARunningCopyUnderTheCompiledInNameIsSeen) {
  TempDir dir;
  const std::string app = dir / config::kMainApp;
  fake_app::Install(app);
  const pid_t pid = fake_app::StartChild(app, dir.path());
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(IsMainAppRunning());
  kill(pid, SIGKILL);
  WaitChild(pid, 10);
}
