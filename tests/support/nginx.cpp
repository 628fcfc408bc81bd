#include "nginx.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

namespace testing_support {

namespace {

const char kNginx[] = "/usr/sbin/nginx";

bool Accepts(int port) {
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

std::string Config(const std::string& dir, int port, const std::string& root, bool with_auth) {
  std::ostringstream c;
  // As root, nginx's workers would switch to an unprivileged user that
  // cannot read the tests' private temporary directories.
  if (geteuid() == 0) c << "user root;\n";
  c << "daemon off;\n"
       "worker_processes 1;\n"
       "pid "
    << dir
    << "/nginx.pid;\n"
       "error_log "
    << dir
    << "/error.log info;\n"
       "events { worker_connections 64; }\n"
       "http {\n"
       "  access_log "
    << dir
    << "/access.log;\n"
       "  client_body_temp_path "
    << dir
    << "/body;\n"
       "  proxy_temp_path "
    << dir
    << "/proxy;\n"
       "  fastcgi_temp_path "
    << dir
    << "/fastcgi;\n"
       "  uwsgi_temp_path "
    << dir
    << "/uwsgi;\n"
       "  scgi_temp_path "
    << dir
    << "/scgi;\n"
       "  default_type application/octet-stream;\n"
       "  sendfile on;\n"
       "  server {\n"
       "    listen 127.0.0.1:"
    << port
    << ";\n"
       "    server_name localhost;\n"
       "    location /hotels/package/ {\n"
       "      alias "
    << root << "/;\n";
  if (with_auth) {
    c << "      auth_basic \"package\";\n"
         "      auth_basic_user_file "
      << dir << "/htpasswd;\n";
  }
  c << "    }\n"
       "    location / { return 404; }\n"
       "  }\n"
       "}\n";
  return c.str();
}

}  // namespace

Nginx::Nginx(const std::string& root, const std::string& credentials, int port) {
  const size_t colon = credentials.find(':');
  if (!credentials.empty()) {
    if (colon == std::string::npos) {
      failure_ = "credentials without ':'";
      return;
    }
    // nginx reads "{PLAIN}" passwords as they are.
    WriteFile(dir_ / "htpasswd",
              credentials.substr(0, colon) + ":{PLAIN}" + credentials.substr(colon + 1) + "\n");
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

bool Nginx::StartOn(int port, const std::string& root, const std::string& credentials) {
  port_ = port;
  WriteFile(dir_ / "nginx.conf", Config(dir_.path(), port, root, !credentials.empty()));
  RemoveTree(dir_ / "error.log");
  const pid_t pid =
      Spawn({kNginx, "-p", dir_.path(), "-c", dir_ / "nginx.conf", "-e", dir_ / "error.log"},
            dir_.path());
  if (pid < 0) {
    failure_ = "cannot start nginx";
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      failure_ = "nginx exited: " + ErrorLog();
      return false;
    }
    if (Accepts(port)) {
      pid_ = pid;
      failure_.clear();
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(-pid, SIGKILL);  // its own process group: master and worker
  waitpid(pid, nullptr, 0);
  failure_ = "nginx did not accept connections in time: " + ErrorLog();
  return false;
}

void Nginx::Stop() {
  if (pid_ <= 0) return;
  // On a fast shutdown the master stops its worker and then exits.
  kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (waitpid(pid_, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(-pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  pid_ = -1;
}

std::string Nginx::Url(const std::string& file) const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/hotels/package/" + file;
}

std::string Nginx::ErrorLog() const { return ReadFile(dir_ / "error.log"); }

std::string Nginx::AccessLog() const { return ReadFile(dir_ / "access.log"); }

}  // namespace testing_support
