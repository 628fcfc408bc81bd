#pragma once

// Unpacks BaseDir + "update/update.zip" into BaseDir + "update/unzip/".
// Main thread, before any window exists. True only when the package was
// extracted completely, so that there is something to install.
bool ExtractPackage();
