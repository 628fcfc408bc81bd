#include "download.h"

int DownloadPackage() { return 0; }
