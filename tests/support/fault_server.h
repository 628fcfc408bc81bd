#pragma once

// The project's fault server (tests/http/fault_server.py) on 127.0.0.1: one
// mode for every request or a script of answers (a JSON list, see the
// script), killed when the object dies. POSIX only.

#include <sys/types.h>

#include <string>
#include <vector>

#include "support.h"

namespace testing_support {

class FaultServer {
 public:
  // `port` 0 takes a free one.
  explicit FaultServer(std::vector<std::string> args, const std::string& script = "", int port = 0);
  ~FaultServer();
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;

  bool listening() const { return port_ != 0; }
  int port() const { return port_; }
  std::string Url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/hotels/package/update.zip";
  }
  // The last request, raw.
  std::string Request() const { return ReadFile(dir_ / "request"); }

  struct Logged {
    double seconds;               // arrival, on the server's monotonic clock
    std::string range, if_range;  // "-" when absent
  };
  std::vector<Logged> Requests() const;

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace testing_support
