#pragma once

#include <chrono>

#include "path.h"

// Where the install step works and which program it controls. The update
// sequence uses DefaultInstallSettings(); tests point it elsewhere.
struct InstallSettings {
  Path base_dir;        // ends in a separator
  Path main_app_image;  // executable file name, compared exactly
};

// BaseDir and the compiled-in main application name.
InstallSettings DefaultInstallSettings();

// How long the install step waits for stopped instances of the main
// application to end before it moves files over theirs.
inline constexpr std::chrono::seconds kTerminationWait{10};

// True when a process of the main application is running. Main thread.
bool IsMainAppRunning();
bool IsMainAppRunning(const Path& image_name);

// The install step: stop the main application if it runs, move the unpacked
// package over BaseDir, start the main application again if it was running,
// empty BaseDir + "update/". Main thread; called by the update sequence or
// from the restart prompt's button handler; blocks until done.
void InstallUpdate();
void InstallUpdate(const InstallSettings& settings);
