#include "install.h"

bool IsMainAppRunning() { return false; }

void InstallUpdate() {}
