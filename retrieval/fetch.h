#pragma once

// The run's package, from the server to update/unzip/: fetched by delta
// from the kept package where that works, else whole, with its signature,
// checked (package_check.h) and unpacked (extract.h). The one place that
// decides between delta and whole, and what follows when a rebuilt package
// fails. Main thread, with the run lock held, before any window exists.

#include <cstdint>

// Fetches, checks and unpacks the package, with the public keys `keys`
// and the floor `min_time` of the program's build (package_check.h). True
// when it is unpacked and ready to install; false when the run ends here,
// after its outcome was reported (nothing new, a failed download, a
// refused package).
bool ObtainPackage(const char* keys, int64_t min_time);
