#include "processes.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

namespace {

// The target of a symbolic link, of any length; false when it cannot be read.
bool ReadLink(const std::string& path, std::string* target) {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) < buffer.size()) {
      target->assign(buffer.data(), static_cast<size_t>(n));
      return true;
    }
    buffer.resize(buffer.size() * 2);
  }
}

bool IsAllDigits(const char* s) {
  if (!*s) return false;
  for (; *s; ++s) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

// Process descriptors through the system calls themselves: the C library's
// wrappers are newer than some systems we build on.
int OpenProcessDescriptor(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

bool SendSignal(int pidfd, int signal) {
  return syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) == 0;
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// A process that has ended but has not been reaped yet (a zombie) holds no
// files any more: it counts as ended.
bool ProcStatSaysEnded(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return true;
  // "pid (name) state ...": the name may itself hold parentheses.
  const size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return true;
  const char state = stat[close + 2];
  return state == 'Z' || state == 'X';
}

}  // namespace

Path ExecutableDirectory() {
  Path exe;
  if (!ReadLink("/proc/self/exe", &exe)) return Path();
  const size_t slash = exe.rfind('/');
  if (slash == Path::npos) return Path();
  return slash == 0 ? Path("/") : exe.substr(0, slash);
}

bool ListProcesses(std::vector<ProcessEntry>* processes) {
  processes->clear();
  std::unique_ptr<DIR, DirCloser> proc(opendir("/proc"));
  if (!proc) return false;
  while (dirent* e = readdir(proc.get())) {
    if (!IsAllDigits(e->d_name)) continue;
    // Kernel threads, zombies and processes of other users have no readable
    // executable link; none of them is a running program we could stop.
    std::string exe;
    if (!ReadLink(std::string("/proc/") + e->d_name + "/exe", &exe)) continue;
    // The kernel marks an executable that was removed or replaced since the
    // process started; the process still runs under its file name.
    static const std::string kDeleted = " (deleted)";
    struct stat st;
    if (exe.size() > kDeleted.size() &&
        exe.compare(exe.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0 &&
        lstat(exe.c_str(), &st) != 0)
      exe.erase(exe.size() - kDeleted.size());
    ProcessEntry entry;
    entry.id = strtoul(e->d_name, nullptr, 10);
    entry.image_name = exe.substr(exe.rfind('/') + 1);
    entry.image_path = exe;
    processes->push_back(std::move(entry));
  }
  return true;
}

struct ProcessControl::Handle {
  pid_t pid = 0;
  // A process descriptor pins the process: its id may be reused once it is
  // reaped, the descriptor never. -1 when the system offers none.
  int pidfd = -1;
  bool open = false;
  ~Handle() {
    if (pidfd >= 0) close(pidfd);
  }
};

ProcessControl::ProcessControl(ProcessId id) : handle_(new Handle) {
  if (id == 0 || id > static_cast<ProcessId>(INT_MAX)) return;
  handle_->pid = static_cast<pid_t>(id);
  handle_->pidfd = OpenProcessDescriptor(handle_->pid);
  if (handle_->pidfd >= 0) {
    handle_->open = true;
  } else if (errno != ESRCH) {
    // No process descriptors here (old kernel, filtered system call): fall
    // back to the bare id.
    handle_->open = kill(handle_->pid, 0) == 0 || errno == EPERM;
  }
}

ProcessControl::~ProcessControl() = default;
ProcessControl::ProcessControl(ProcessControl&&) noexcept = default;
ProcessControl& ProcessControl::operator=(ProcessControl&&) noexcept = default;

bool ProcessControl::is_open() const { return handle_ && handle_->open; }

bool ProcessControl::Terminate() {
  if (!is_open()) return false;
  if (handle_->pidfd >= 0) return SendSignal(handle_->pidfd, SIGKILL);
  return kill(handle_->pid, SIGKILL) == 0;
}

bool ProcessControl::WaitForEnd(std::chrono::milliseconds timeout) const {
  if (!is_open()) return true;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  if (handle_->pidfd >= 0) {
    // The descriptor turns readable when the process has ended, reaped or not.
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{handle_->pidfd, POLLIN, 0};
      const int ready =
          poll(&p, 1, static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX)));
      if (ready == 1) return true;
      if (ready == 0 || errno != EINTR) return false;
    }
  }
  for (;;) {
    if (ProcStatSaysEnded(handle_->pid)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool StartDetachedProgram(const Path& program) {
  // Everything the children use is prepared here: after fork() they make
  // only async-signal-safe calls.
  char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
  const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  sigset_t no_signals;
  sigemptyset(&no_signals);
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  // The grandchild writes its exec error here; a successful exec closes the
  // pipe without a word.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    if (null_fd >= 0) close(null_fd);
    return false;
  }

  const pid_t child = fork();
  if (child == 0) {
    // A new session, and a grandchild that nobody has to reap: the program
    // is adopted by init and outlives the updater and its terminal.
    setsid();
    const pid_t grandchild = fork();
    if (grandchild == 0) {
      close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
      if (null_fd >= 0) {
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
      }
      for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &default_action, nullptr);
      sigprocmask(SIG_SETMASK, &no_signals, nullptr);
      execve(argv[0], argv, environ);
      const int error = errno;
      (void)!write(report[1], &error, sizeof error);
      _exit(127);
    }
    _exit(grandchild < 0 ? 1 : 0);
  }

  close(report[1]);
  if (null_fd >= 0) close(null_fd);
  bool started = false;
  if (child > 0) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t n;
    while ((n = read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    started = WIFEXITED(status) && WEXITSTATUS(status) == 0 && n == 0;
  }
  close(report[0]);
  return started;
}
