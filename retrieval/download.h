#pragma once

// Fetches the update package from the compiled-in address into
// "update//update.zip" under the current directory. Main thread, before any
// window exists; blocks until the transfer ends. Always returns 0: the
// outcome shows in the file on disk and in the diagnostics.
int DownloadPackage();
