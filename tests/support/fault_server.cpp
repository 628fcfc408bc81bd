#include "fault_server.h"

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace testing_support {

FaultServer::FaultServer(std::vector<std::string> args, const std::string& script, int port) {
  std::vector<std::string> argv = {
      "/usr/bin/python3",   UPDATER_FAULT_SERVER, "--port-file",    dir_ / "port", "--port",
      std::to_string(port), "--record",           dir_ / "request", "--log",       dir_ / "log"};
  if (!script.empty()) {
    WriteFile(dir_ / "script.json", script);
    args.insert(args.end(), {"--script", dir_ / "script.json"});
  }
  argv.insert(argv.end(), args.begin(), args.end());
  pid_ = Spawn(argv, dir_.path());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
    if (Exists(dir_ / "port")) {
      port_ = std::stoi(ReadFile(dir_ / "port"));
      return;
    }
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

FaultServer::~FaultServer() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::vector<FaultServer::Logged> FaultServer::Requests() const {
  std::vector<Logged> requests;
  std::ifstream in(dir_ / "log");
  for (std::string line; std::getline(in, line);) {
    const size_t a = line.find('\t'), b = line.find('\t', a + 1);
    requests.push_back(
        {std::stod(line.substr(0, a)), line.substr(a + 1, b - a - 1), line.substr(b + 1)});
  }
  return requests;
}

}  // namespace testing_support
