#include "nginx.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

namespace testing_support {

// Writes the configuration and runs nginx in the foreground, as the demo,
// the benchmark and the Windows tests run it.
constexpr char kServePackage[] = UPDATER_SERVE_PACKAGE;
constexpr char kServeCached[] = UPDATER_SERVE_CACHED;

Nginx::Nginx(const std::string& root, const std::string& credentials, int port, const Tls& tls)
    : tls_(tls) {
  if (credentials.find(':') == std::string::npos) {
    failure_ = "credentials without ':'";
    return;
  }
  if (port != 0) {
    StartOn(port, root, credentials);
    return;
  }
  // A free port can be taken by someone else before nginx binds it.
  for (int attempt = 0; attempt < 5 && !started(); ++attempt)
    StartOn(FreePort(), root, credentials);
}

Nginx::~Nginx() { Stop(); }

namespace {

// Runs argv and waits until it accepts connections on `port`: its process
// id, or -1 with *failure (what `log` tells then added).
pid_t StartListening(const std::vector<std::string>& argv, const std::string& cwd, int port,
                     const std::function<std::string()>& log, std::string* failure) {
  const pid_t pid = Spawn(argv, cwd);
  if (pid < 0) {
    *failure = "cannot start " + argv[0];
    return -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      *failure = argv[0] + " exited: " + log();
      return -1;
    }
    if (PortAccepts(port)) {
      failure->clear();
      return pid;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(-pid, SIGKILL);  // its own process group: the server and its workers
  waitpid(pid, nullptr, 0);
  *failure = argv[0] + " did not accept connections in time: " + log();
  return -1;
}

// Asks the server to stop (nginx's master stops its worker, Varnish's
// manager its child, then each exits), and ends its process group after
// 10 s.
void StopServer(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (waitpid(pid, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(-pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

bool Nginx::StartOn(int port, const std::string& root, const std::string& credentials) {
  port_ = port;
  RemoveTree(dir_ / "error.log");
  std::vector<std::string> argv{kServePackage, root, std::to_string(port), credentials,
                                dir_.path()};
  if (!tls_.certificate.empty()) argv.insert(argv.end(), {tls_.certificate, tls_.key});
  pid_ = StartListening(
      argv, dir_.path(), port, [this] { return ErrorLog(); }, &failure_);
  return started();
}

void Nginx::Stop() {
  StopServer(pid_);
  pid_ = -1;
}

Varnish::Varnish(int port, int origin_port) {
  pid_ = StartListening(
      {kServeCached, std::to_string(port), std::to_string(origin_port), dir_.path()}, dir_.path(),
      port, [] { return std::string(); }, &failure_);
}

Varnish::~Varnish() { StopServer(pid_); }

std::string Nginx::Url(const std::string& file) const {
  const std::string origin = tls_.certificate.empty() ? "http://127.0.0.1:" : "https://localhost:";
  return origin + std::to_string(port_) + "/hotels/package/" + file;
}

std::string Nginx::ErrorLog() const { return ReadFile(dir_ / "error.log"); }

std::string Nginx::AccessLog() const { return ReadFile(dir_ / "access.log"); }

bool PortAccepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

int LoopbackPort(const std::string& url) {
  const std::string prefix = "http://127.0.0.1:";
  if (url.compare(0, prefix.size(), prefix) != 0) return -1;
  const size_t slash = url.find('/', prefix.size());
  const int port = std::atoi(url.substr(prefix.size(), slash - prefix.size()).c_str());
  return slash == std::string::npos || port <= 0 ? -1 : port;
}

}  // namespace testing_support
