#pragma once

// True when a process of the main application is running. Main thread.
bool IsMainAppRunning();

// The install step: stop the main application if it runs, move the unpacked
// package over BaseDir, start the main application again if it was running,
// empty BaseDir + "update/". Main thread; called by the update sequence or
// from the restart prompt's button handler; blocks until done.
void InstallUpdate();
