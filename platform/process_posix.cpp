#include "process.h"

#include <unistd.h>

#include <vector>

Path ExecutableDirectory() {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return Path();
    if (static_cast<size_t>(n) < buffer.size()) {
      Path exe(buffer.data(), static_cast<size_t>(n));
      const size_t slash = exe.rfind('/');
      if (slash == Path::npos) return Path();
      return slash == 0 ? Path("/") : exe.substr(0, slash);
    }
    buffer.resize(buffer.size() * 2);
  }
}
