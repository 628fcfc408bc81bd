// Runs the built updater as a user would: copied into an installation
// directory of its own, started there with that directory as current one.

#include <gtest/gtest.h>

#include "support.h"
#include "updater_installation.h"

using namespace testing_support;
using Installation = UpdaterInstallation;

TEST(UpdaterRun, WithNothingToInstallExitsWithOneAndChangesNothing) {
  Installation inst;
  const Tree before = Snapshot(inst.dir.path());
  const RunResult r = RunProgram({inst.exe}, inst.dir.path());
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  // Only the log tells of the run.
  EXPECT_EQ(WithoutLog(Snapshot(inst.dir.path())), before);
}

TEST(UpdaterRun, UnknownSwitchEndsInTheCommandLineErrorBeforeAnyDownload) {
  Installation inst;
  const Tree before = Snapshot(inst.dir.path());
  const RunResult r = RunProgram({inst.exe, "--no-such-switch"}, inst.dir.path());
  EXPECT_NE(r.exit_code, 1);
  EXPECT_NE((r.out + r.err).find("no-such-switch"), std::string::npos) << r.out << r.err;
  EXPECT_EQ(Snapshot(inst.dir.path()), before);
}

#ifdef UPDATER_TOOLKIT_MODULE
// A module anywhere but beside the program (the build's, here) is never
// loaded: a run that needs the toolkit ends without one.
TEST(UpdaterRun, WithoutItsOwnToolkitModuleLoadsNoOtherOne) {
  ASSERT_TRUE(Exists(UPDATER_TOOLKIT_MODULE));
  Installation inst;
  RemoveTree(inst.toolkit_module);
  const Tree before = Snapshot(inst.dir.path());
  const RunResult r = RunProgram({inst.exe, "--no-such-switch"}, inst.dir.path());
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_EQ(r.out.rfind("Cannot load the toolkit: " + inst.toolkit_module + ": ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("\nOutcome: not started: the toolkit cannot be loaded\n"), std::string::npos)
      << r.out;
  // The switch never reached a toolkit.
  EXPECT_EQ((r.out + r.err).find("no-such-switch"), std::string::npos) << r.out << r.err;
  EXPECT_EQ(Snapshot(inst.dir.path()), before);
}
#endif
