#pragma once

// A real nginx (Debian's nginx-light, /usr/sbin/nginx) on 127.0.0.1, started
// by a test through scripts/serve-package with its configuration and logs in
// a temporary directory, and stopped when the object dies. POSIX only.

#include <sys/types.h>

#include <string>

#include "support.h"

namespace testing_support {

class Nginx {
 public:
  // Serves the files of `root` at /hotels/package/ behind HTTP basic
  // authentication for `credentials` ("user:password"). `port` 0 takes a
  // free one. With `tls` (certificate and key PEM files) it speaks https
  // only. Returns once nginx accepts
  // connections, or with started() false and the reason in failure().
  struct Tls {
    std::string certificate, key;
  };
  Nginx(const std::string& root, const std::string& credentials, int port = 0,
        const Tls& tls = Tls());
  ~Nginx();
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;

  bool started() const { return pid_ > 0; }
  const std::string& failure() const { return failure_; }
  int port() const { return port_; }
  // "http://127.0.0.1:<port>/hotels/package/" + file, or with https,
  // "https://localhost:<port>/...": the name its test certificates carry.
  std::string Url(const std::string& file) const;
  std::string ErrorLog() const;
  std::string AccessLog() const;

 private:
  bool StartOn(int port, const std::string& root, const std::string& credentials);
  Tls tls_;
  void Stop();

  TempDir dir_;  // configuration, password file, pid, logs, temporary files
  pid_t pid_ = -1;
  int port_ = 0;
  std::string failure_;
};

// Varnish (Debian's varnish) on 127.0.0.1:port, caching what the server on
// origin_port answers (scripts/serve-cached), stopped when the object dies.
class Varnish {
 public:
  // Returns once Varnish accepts connections, or with started() false.
  Varnish(int port, int origin_port);
  ~Varnish();
  Varnish(const Varnish&) = delete;
  Varnish& operator=(const Varnish&) = delete;

  bool started() const { return pid_ > 0; }
  const std::string& failure() const { return failure_; }

 private:
  TempDir dir_;  // configuration and working files
  pid_t pid_ = -1;
  std::string failure_;
};

// True when something accepts TCP connections on 127.0.0.1:port.
bool PortAccepts(int port);

// The port of an "http://127.0.0.1:<port>/..." address; -1 for any other.
int LoopbackPort(const std::string& url);

}  // namespace testing_support
