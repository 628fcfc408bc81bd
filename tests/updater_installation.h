#pragma once

// An installation directory for runs of the built updater: a copy of the
// program (UPDATER_EXE), an old main application and update/ with a file
// in it. Removed with everything in it at the end of the test.

#include <string>

#include "support.h"

struct UpdaterInstallation {
  testing_support::TempDir dir;
  std::string exe = dir / "updater";
  UpdaterInstallation() {
    testing_support::CopyFile(UPDATER_EXE, exe);
    testing_support::MakeDirs(dir / "update");
    testing_support::WriteFile(dir / "tesko.exe", "old main application");
    testing_support::WriteFile(dir / "update/leftover.txt", "kept");
  }
};
