// Feeds arbitrary bytes as update.zip to the extraction and checks that
// nothing is ever written outside the destination: every path the
// extraction creates, writes, stamps or chmods must lie below it (checked
// at the system calls, which this program interposes), and the sandbox
// around the destination must stay exactly as it was.

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "extract.h"
#include "support.h"

using testing_support::RemoveTree;

namespace {

bool g_extracting = false;
int g_saved_stderr = -1;  // the real standard error while the extraction's goes nowhere
std::string* g_destination = nullptr;

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  size_t begin = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      const std::string part = path.substr(begin, i - begin);
      if (part == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!part.empty() && part != ".") {
        parts.push_back(part);
      }
      begin = i + 1;
    }
  }
  return parts;
}

[[noreturn]] void Fail(const char* what, const char* why, const char* path) {
  if (g_saved_stderr >= 0) dup2(g_saved_stderr, 2);
  fprintf(stderr, "%s %s: %s\n", what, why, path);
  abort();
}

// Aborts unless path lies below the destination. Directory creation walks
// down from the root, so for it the destination's ancestors (which exist,
// so nothing is made) pass too.
void CheckInside(const char* what, const char* path, bool ancestors_pass = false) {
  if (!g_extracting || !path) return;
  std::string full = path;
  if (full.empty()) return;  // fails by itself
  if (full[0] != '/') Fail(what, "with a relative path", path);
  const std::vector<std::string> dest = Components(*g_destination), target = Components(full);
  const size_t common = std::min(dest.size(), target.size());
  const bool on_the_way = std::equal(target.begin(), target.begin() + common, dest.begin());
  if (!on_the_way || (target.size() < dest.size() && !ancestors_pass)) {
    Fail(what, "outside the destination", path);
  }
}

template <class F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Every entry below root except the ones in `skip`: kind, mode, size and
// time of files.
void Walk(const std::string& root, const std::string& rel, const std::vector<std::string>& skip,
          std::map<std::string, std::string>* out) {
  DIR* dir = opendir((root + rel).c_str());
  if (!dir) return;
  while (dirent* e = readdir(dir)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    const std::string r = rel + "/" + e->d_name;
    bool skipped = false;
    for (const auto& s : skip) skipped = skipped || r == s;
    if (skipped) continue;
    struct stat st;
    if (lstat((root + r).c_str(), &st) != 0) continue;
    // A directory's own times change with what is made and removed below
    // it (update/ holds the destination), so only its kind counts.
    if (S_ISDIR(st.st_mode)) {
      (*out)[r] = "<dir>";
      Walk(root, r, skip, out);
    } else {
      (*out)[r] = std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
                  std::to_string(st.st_mtime);
    }
  }
  closedir(dir);
}

struct Sandbox {
  std::string root, archive, destination;
  std::vector<std::string> skip;
  std::map<std::string, std::string> initial;

  Sandbox() {
    char pattern[] = "/tmp/extract-fuzz-XXXXXX";
    root = mkdtemp(pattern);
    archive = root + "/update/update.zip";
    destination = root + "/update/unzip";
    mkdir((root + "/update").c_str(), 0755);
    mkdir((root + "/app").c_str(), 0755);
    FILE* f = fopen((root + "/app/tesko.exe").c_str(), "wb");
    fputs("installed", f);
    fclose(f);
    skip = {"/update/update.zip", "/update/unzip"};
    Walk(root, "", skip, &initial);
    g_destination = new std::string(destination);
  }
  ~Sandbox() { RemoveTree(root); }
};

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  if (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) CheckInside("open", path);
  static auto next = Next<int (*)(const char*, int, ...)>("open");
  return next(path, flags, mode);
}

int mkdir(const char* path, mode_t mode) {
  CheckInside("mkdir", path, true);
  static auto next = Next<int (*)(const char*, mode_t)>("mkdir");
  return next(path, mode);
}

int chmod(const char* path, mode_t mode) {
  CheckInside("chmod", path);
  static auto next = Next<int (*)(const char*, mode_t)>("chmod");
  return next(path, mode);
}

int utimensat(int dirfd, const char* path, const struct timespec times[2], int flags) {
  CheckInside("utimensat", path);
  static auto next = Next<int (*)(int, const char*, const struct timespec*, int)>("utimensat");
  return next(dirfd, path, times, flags);
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Sandbox sandbox_at_exit;  // removed when the run ends
  Sandbox* sandbox = &sandbox_at_exit;
  RemoveTree(sandbox->destination);
  FILE* f = fopen(sandbox->archive.c_str(), "wb");
  if (!f || fwrite(data, 1, size, f) != size || fclose(f) != 0) abort();

  // The extraction's lines are not needed here.
  fflush(stdout);
  fflush(stderr);
  const int saved_out = dup(1);
  g_saved_stderr = dup(2);
  const int null_fd = ::open("/dev/null", O_WRONLY);
  dup2(null_fd, 1);
  dup2(null_fd, 2);
  close(null_fd);
  g_extracting = true;
  // Two workers: the path that every package beyond the smallest takes.
  ExtractArchive(sandbox->archive, sandbox->destination, nullptr, 2);
  g_extracting = false;
  fflush(stdout);
  fflush(stderr);
  dup2(saved_out, 1);
  dup2(g_saved_stderr, 2);
  close(saved_out);
  close(g_saved_stderr);
  g_saved_stderr = -1;

  std::map<std::string, std::string> now;
  Walk(sandbox->root, "", sandbox->skip, &now);
  if (now != sandbox->initial) {
    fprintf(stderr, "the sandbox around the destination changed\n");
    abort();
  }
  return 0;
}

}  // extern "C"
