#pragma once

// An installation directory for runs of the built updater: a copy of the
// program (UPDATER_EXE) and, where the toolkit is a module of its own
// (UPDATER_TOOLKIT_MODULE), that module beside it, an old main application
// and update/ with a file in it. Removed with everything in it at the end
// of the test.

#include <string>

#include "support.h"

#ifdef UPDATER_TOOLKIT_MODULE
inline constexpr const char* kBuiltToolkitModule = UPDATER_TOOLKIT_MODULE;
#else
inline constexpr const char* kBuiltToolkitModule = nullptr;  // part of the program
#endif

struct UpdaterInstallation {
  testing_support::TempDir dir;
  std::string exe = dir / "updater";
  std::string toolkit_module = dir / "updater-toolkit.so";
  UpdaterInstallation() {
    testing_support::CopyFile(UPDATER_EXE, exe);
    if (kBuiltToolkitModule) testing_support::CopyFile(kBuiltToolkitModule, toolkit_module);
    testing_support::MakeDirs(dir / "update");
    testing_support::WriteFile(dir / "tesko.exe", "old main application");
    testing_support::WriteFile(dir / "update/leftover.txt", "kept");
  }
};
