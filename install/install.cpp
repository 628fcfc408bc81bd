#include "install.h"

#include <vector>

#include "basedir.h"
#include "processes.h"
#include "tree.h"
#include "updater_config.h"

namespace {

// Stops every process with the image name, and hands them back so that the
// caller can wait for them to end.
std::vector<ProcessControl> TerminateAll(const Path& image_name) {
  std::vector<ProcessControl> stopped;
  std::vector<ProcessEntry> processes;
  ListProcesses(&processes);
  for (const ProcessEntry& p : processes) {
    if (p.image_name != image_name) continue;
    ProcessControl process(p.id);
    if (process.Terminate()) stopped.push_back(std::move(process));
  }
  return stopped;
}

}  // namespace

InstallSettings DefaultInstallSettings() {
  InstallSettings settings;
  settings.base_dir = GetBaseDir();
  PathFromUtf8(config::kMainApp, &settings.main_app_image);
  return settings;
}

bool IsMainAppRunning() { return IsMainAppRunning(DefaultInstallSettings().main_app_image); }

bool IsMainAppRunning(const Path& image_name) {
  if (image_name.empty()) return false;
  std::vector<ProcessEntry> processes;
  if (!ListProcesses(&processes)) return false;
  for (const ProcessEntry& p : processes) {
    if (p.image_name == image_name) return true;
  }
  return false;
}

void InstallUpdate() { InstallUpdate(DefaultInstallSettings()); }

void InstallUpdate(const InstallSettings& settings) {
  Path base = settings.base_dir;
  if (base.empty() || !IsPathSeparator(base.back())) base += kPathSeparator;
  const Path update = base + PATH_TEXT("update") + kPathSeparator;

  // Asked afresh: the answer that chose between prompt and silent install
  // may be stale by now.
  const bool was_running = IsMainAppRunning(settings.main_app_image);
  if (was_running) {
    // Termination is asynchronous, and a file that an ending process still
    // holds cannot be replaced; its new copy would then be lost with the
    // clean-up. Past the bound the move goes ahead all the same.
    WaitForProcessesToEnd(TerminateAll(settings.main_app_image), kTerminationWait);
  }
  MoveTree(update + PATH_TEXT("unzip") + kPathSeparator, base);
  if (was_running) StartDetachedProgram(base + settings.main_app_image);
  ClearDirectory(update);
}
