#pragma once

// Helpers shared by the test programs (POSIX only): temporary directories,
// whole-tree snapshots, files, and child processes.

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace testing_support {

// A fresh directory, removed with everything below it when the object dies.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

void RemoveTree(const std::string& path);
void MakeDirs(const std::string& path);
bool Exists(const std::string& path);
bool IsDir(const std::string& path);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
void CopyFile(const std::string& from, const std::string& to);

// Relative path -> content for every file; directories map to "<dir>",
// symbolic links to "-> target". Compare two snapshots to check a whole tree.
using Tree = std::map<std::string, std::string>;
Tree Snapshot(const std::string& root);
// The tree without the updater's log (update/updater.log and the rotated
// updater.log.1), which every run of the whole program appends to.
inline Tree WithoutLog(Tree tree) {
  for (auto it = tree.begin(); it != tree.end();) {
    const std::string name = it->first.substr(it->first.rfind('/') + 1);
    it = name == "updater.log" || name == "updater.log.1" ? tree.erase(it) : std::next(it);
  }
  return tree;
}

struct RunResult {
  int exit_code = -1;  // -1 when killed by a signal or not started
  std::string out;
  std::string err;
};

// Runs argv[0] with the given arguments in cwd, waits at most timeout_s
// seconds (then kills it), and collects both output streams.
RunResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                     int timeout_s = 60, const std::vector<std::string>& extra_env = {});

// Starts a process in the background; the caller waits for it or kills it.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& cwd);
// Like Spawn, with both output streams appended to the file at log_path.
pid_t SpawnLogged(const std::vector<std::string>& argv, const std::string& cwd,
                  const std::string& log_path);
// Waits for the child at most timeout_s seconds; returns its exit code, or
// -1 when it was killed by a signal or did not end in time.
int WaitChild(pid_t pid, int timeout_s);

// A TCP port on 127.0.0.1 that nobody listened on a moment ago.
int FreePort();

}  // namespace testing_support
