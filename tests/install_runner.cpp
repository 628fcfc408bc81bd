// One run of the install step as the updater makes it, for tests that kill
// it or start two at once: take the run lock, settle what a killed run
// left, install BASE/update/unzip/ onto BASE.
//   install_runner BASE [HOLD_MS]
// HOLD_MS: time to hold the lock before installing. The main application
// is a name that never runs. Exit status 0 after the run, 3 when the lock
// was refused, 4 when a killed run's install could not be settled.

#include <chrono>
#include <cstdlib>
#include <thread>

#include "install.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const InstallSettings settings{argv[1], "never-running.exe"};
  FileLock lock;
  if (!LockUpdateRun(settings, &lock)) return 3;
  if (argc > 2) std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[2])));
  if (!RecoverInterruptedInstall(settings)) return 4;
  InstallUpdate(settings);
  return 0;
}
