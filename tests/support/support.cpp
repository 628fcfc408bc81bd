#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testing_support {

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/updater-test-XXXXXX";
  if (!mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  if (!getenv("KEEP_TEST_DIRS")) RemoveTree(path_);
}

void RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* e = readdir(dir)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        RemoveTree(path + "/" + e->d_name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

void MakeDirs(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
  }
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool IsDir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

void CopyFile(const std::string& from, const std::string& to) {
  struct stat st;
  if (stat(from.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + from);
  WriteFile(to, ReadFile(from));
  chmod(to.c_str(), st.st_mode & 07777);
}

namespace {

void SnapshotInto(const std::string& root, const std::string& rel, Tree* tree) {
  const std::string dir = rel.empty() ? root : root + "/" + rel;
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    const std::string r = rel.empty() ? e->d_name : rel + "/" + e->d_name;
    const std::string full = root + "/" + r;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      const ssize_t n = readlink(full.c_str(), target, sizeof target);
      (*tree)[r] = "-> " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    } else if (S_ISDIR(st.st_mode)) {
      (*tree)[r] = "<dir>";
      SnapshotInto(root, r, tree);
    } else {
      (*tree)[r] = ReadFile(full);
    }
  }
  closedir(d);
}

pid_t SpawnWithPipes(const std::vector<std::string>& argv, const std::string& cwd,
                     const std::vector<std::string>& extra_env, int out_fd, int err_fd) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  for (const auto& e : extra_env) env.push_back(e);
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    if (out_fd >= 0) dup2(out_fd, 1);
    if (err_fd >= 0) dup2(err_fd, 2);
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  return pid;
}

}  // namespace

Tree Snapshot(const std::string& root) {
  Tree tree;
  SnapshotInto(root, "", &tree);
  return tree;
}

RunResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd, int timeout_s,
                     const std::vector<std::string>& extra_env) {
  // Output goes to temporary files, so a chatty child never blocks on a pipe.
  TempDir io;
  const std::string out_path = io / "out", err_path = io / "err";
  const int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const pid_t pid = SpawnWithPipes(argv, cwd, extra_env, out_fd, err_fd);
  close(out_fd);
  close(err_fd);
  RunResult result;
  if (pid < 0) return result;
  result.exit_code = WaitChild(pid, timeout_s);
  result.out = ReadFile(out_path);
  result.err = ReadFile(err_path);
  return result;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& cwd) {
  return SpawnWithPipes(argv, cwd, {}, -1, -1);
}

pid_t SpawnLogged(const std::vector<std::string>& argv, const std::string& cwd,
                  const std::string& log_path) {
  const int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  const pid_t pid = SpawnWithPipes(argv, cwd, {}, fd, fd);
  if (fd >= 0) close(fd);
  return pid;
}

int WaitChild(pid_t pid, int timeout_s) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0) return -1;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace testing_support
