// Stand-in for the main application in tests. Appends one line about itself
// to "<own path>.runs" (pid, session, parent, current directory, where its
// standard output goes, its GDK_GL setting), then waits to be stopped. It ends by itself after
// a while (60 s, or the seconds given as argument), so that a failing test
// never leaves it running for long.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

std::string Link(const char* path) {
  char buffer[4096];
  const ssize_t n = readlink(path, buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string exe = Link("/proc/self/exe");
  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd)) cwd[0] = '\0';
  const char* gdk_gl = std::getenv("GDK_GL");
  const std::string line = std::to_string(getpid()) + '\t' + std::to_string(getsid(0)) + '\t' +
                           std::to_string(getppid()) + '\t' + cwd + '\t' + Link("/proc/self/fd/1") +
                           '\t' + (gdk_gl ? gdk_gl : "") + '\n';
  // One append per run: lines of instances running side by side never mix.
  const int fd = open((exe + ".runs").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0 || write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return 2;
  close(fd);
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  return 0;
}
