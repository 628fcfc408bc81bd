#include "fake_app.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#include "support.h"

namespace fake_app {

namespace {

std::string Link(const std::string& path) {
  char buffer[4096];
  const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

}  // namespace

std::string UniqueName(const std::string& stem) {
  static int counter = 0;
  return stem + "-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + ".exe";
}

void Install(const std::string& path) { testing_support::CopyFile(FAKE_APP, path); }

std::vector<Run> Runs(const std::string& path) {
  std::vector<Run> runs;
  std::istringstream in(testing_support::ReadFile(path + ".runs"));
  std::string line;
  // Only whole lines: a run may be writing its line just now.
  while (std::getline(in, line) && !in.eof()) {
    std::istringstream fields(line);
    Run run;
    std::string pid, session, parent;
    std::getline(fields, pid, '\t');
    std::getline(fields, session, '\t');
    std::getline(fields, parent, '\t');
    std::getline(fields, run.cwd, '\t');
    std::getline(fields, run.stdout_target, '\t');
    std::getline(fields, run.gdk_gl);
    run.pid = std::stoi(pid);
    run.session = std::stoi(session);
    run.parent = std::stoi(parent);
    runs.push_back(run);
  }
  return runs;
}

std::vector<Run> WaitForRuns(const std::string& path, size_t count, int timeout_s) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  for (;;) {
    std::vector<Run> runs = Runs(path);
    if (runs.size() >= count || std::chrono::steady_clock::now() > deadline) return runs;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

pid_t StartChild(const std::string& path, const std::string& cwd) {
  const size_t before = Runs(path).size();
  const pid_t pid = testing_support::Spawn({path}, cwd);
  if (pid <= 0) return -1;
  for (const Run& run : WaitForRuns(path, before + 1)) {
    if (run.pid == pid) return pid;
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

bool ChildHasEnded(pid_t pid, bool* killed) {
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) != pid) return false;
  *killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  return true;
}

void StopStarted(pid_t pid, const std::string& path) {
  if (pid > 0 && Link("/proc/" + std::to_string(pid) + "/exe") == path) kill(pid, SIGKILL);
}

std::vector<pid_t> Running(const std::string& image_name) {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  if (!proc) return found;
  while (dirent* e = readdir(proc)) {
    const std::string exe = Link(std::string("/proc/") + e->d_name + "/exe");
    if (!exe.empty() && exe.substr(exe.rfind('/') + 1) == image_name)
      found.push_back(std::atoi(e->d_name));
  }
  closedir(proc);
  return found;
}

}  // namespace fake_app
