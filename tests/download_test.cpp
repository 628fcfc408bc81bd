// The package download against real servers on loopback: nginx for the
// normal case and for credentials, the project's fault server for broken
// answers. Whatever happens, update.zip is either the complete new body or
// exactly what it was before, and no partial file is left behind.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "download.h"
#include "nginx.h"
#include "report.h"
#include "support.h"
#include "updater_config.h"

using namespace testing_support;

namespace {

const char kCredentials[] = "TAVIK:TAVIK";
const char kCredentialsBase64[] = "VEFWSUs6VEFWSUs=";
const char kEarlierPackage[] = "PK\x03\x04 the package of an earlier run";

// Bytes that a text-mode write or a string copy would damage.
std::string BinaryBody(size_t size) {
  std::string body(size, '\0');
  for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i * 7 + i / 256) & 0xff);
  return body;
}

struct Outcome {
  int result;
  std::string out;    // what followed the proxy line
  std::string proxy;  // the proxy line, without its line end
};

Outcome Download(const std::string& url, const std::string& credentials, const std::string& target,
                 const TransferLimits& limits = TransferLimits(), const std::string& ca = "") {
  testing::internal::CaptureStdout();
  const int result =
      DownloadPackageFrom(url.c_str(), credentials.c_str(), target, limits, ca.c_str());
  const std::string out = testing::internal::GetCapturedStdout();
  const size_t end = out.find('\n');
  if (out.rfind("Proxy: ", 0) != 0 || end == std::string::npos) return {result, out, ""};
  return {result, out.substr(end + 1), out.substr(0, end)};
}

// A directory with an "update" subdirectory, as beside an installed updater.
struct Workdir {
  TempDir dir;
  std::string update = dir / "update";
  std::string target = dir / "update/update.zip";
  Workdir() { MakeDirs(update); }
};

class FaultServer {
 public:
  explicit FaultServer(std::vector<std::string> args) {
    std::vector<std::string> argv = {"/usr/bin/python3", FAULT_SERVER, "--port-file",
                                     dir_ / "port",      "--record",   dir_ / "request"};
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
  ~FaultServer() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  bool listening() const { return port_ != 0; }
  int port() const { return port_; }
  std::string Url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/hotels/package/update.zip";
  }
  std::string Request() const { return ReadFile(dir_ / "request"); }

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// ---------------------------------------------------------------------------
// Against nginx

// nginx serving `body` as update.zip behind basic authentication.
struct Served {
  TempDir root;
  std::string body;
  Nginx nginx;
  explicit Served(std::string package, const std::string& credentials = config::kCredentials,
                  const Nginx::Tls& tls = Nginx::Tls())
      : body(std::move(package)), nginx(root.path(), credentials, 0, tls) {
    WriteFile(root / "update.zip", body);
  }
};

TEST(DownloadFromNginx, WritesExactlyTheBodyOverTheEarlierPackageAndPrintsNothing) {
  Served served(BinaryBody(3 * 1024 * 1024 + 17));
  ASSERT_TRUE(served.nginx.started()) << served.nginx.failure();
  Workdir work;
  WriteFile(work.target, kEarlierPackage);

  const Outcome o = Download(served.nginx.Url("update.zip"), config::kCredentials, work.target);

  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.proxy, "Proxy: none");
  EXPECT_EQ(Snapshot(work.update), (Tree{{"update.zip", served.body}}));
}

TEST(DownloadFromNginx, TheLogGetsOneLinePerTransferAndNothingShowsTheCredentials) {
  const std::string credentials = "agent:s3cret-word";
  const std::string secrets[] = {"s3cret-word", "YWdlbnQ6czNjcmV0LXdvcmQ="};  // and its base64
  Served served(BinaryBody(5000), credentials);
  ASSERT_TRUE(served.nginx.started()) << served.nginx.failure();
  Workdir work;
  AttachLog(work.update + "/updater.log", work.update + "/updater.log.1");
  // Credentials in the address too: the log shows it without them.
  std::string url = served.nginx.Url("update.zip");
  const std::string plain_url = url;
  url.insert(url.find("//") + 2, credentials + "@");
  testing::internal::CaptureStderr();
  const Outcome o = Download(url, credentials, work.target);
  const Outcome missing = Download(served.nginx.Url("missing.zip"), credentials, work.target);
  const std::string trace = testing::internal::GetCapturedStderr();
  AttachLog(Path(), Path());

  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(missing.result, 22);
  EXPECT_EQ(LastDownloadFailure(), "the server answered HTTP 404");
  const std::string log = ReadFile(work.update + "/updater.log");
  EXPECT_NE(log.find("] Transfer of " + plain_url + ": HTTP 200, 5000 bytes in "),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("] Transfer of " + served.nginx.Url("missing.zip") + ": HTTP 404, "),
            std::string::npos)
      << log;
  EXPECT_NE(trace.find("> Authorization: Basic [redacted]\r\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find("< HTTP/1.1 200 OK"), std::string::npos) << trace;
  for (const std::string& secret : secrets) {
    EXPECT_EQ(trace.find(secret), std::string::npos) << trace;
    EXPECT_EQ(log.find(secret), std::string::npos) << log;
    EXPECT_EQ(o.out.find(secret), std::string::npos) << o.out;
  }
}

TEST(DownloadFromNginx, WithoutTheRightCredentialsGetsNoPackage) {
  Served served(BinaryBody(4096));
  ASSERT_TRUE(served.nginx.started()) << served.nginx.failure();
  const std::string user =
      std::string(config::kCredentials).substr(0, std::string(config::kCredentials).find(':'));
  for (const std::string& credentials :
       std::vector<std::string>{user + ":wrong", "someone:else", user + ":"}) {
    SCOPED_TRACE(credentials);
    Workdir work;
    WriteFile(work.target, kEarlierPackage);

    const Outcome o = Download(served.nginx.Url("update.zip"), credentials, work.target);

    EXPECT_EQ(o.result, 22);
    EXPECT_EQ(o.out, "22\n");
    EXPECT_EQ(Snapshot(work.update), (Tree{{"update.zip", kEarlierPackage}}));
  }
  EXPECT_NE(served.nginx.AccessLog().find("\" 401 "), std::string::npos)
      << served.nginx.AccessLog();
}

TEST(DownloadFromNginx, WithoutUpdateDirectoryCreatesNothingAndEndsInAWriteError) {
  Served served(BinaryBody(1000));
  ASSERT_TRUE(served.nginx.started()) << served.nginx.failure();
  TempDir cwd;

  const Outcome o =
      Download(served.nginx.Url("update.zip"), config::kCredentials, cwd / "update/update.zip");

  EXPECT_EQ(o.result, 23);
  EXPECT_EQ(o.out, "23\n");
  EXPECT_EQ(Snapshot(cwd.path()), Tree{});
}

TEST(DownloadFromNginx, DirectoryStandingAtTheTargetIsLeftAloneAndReported) {
  Served served(BinaryBody(1000));
  ASSERT_TRUE(served.nginx.started()) << served.nginx.failure();
  Workdir work;
  MakeDirs(work.target);
  WriteFile(work.target + "/inside", "kept");

  const Outcome o = Download(served.nginx.Url("update.zip"), config::kCredentials, work.target);

  EXPECT_EQ(o.result, 23);
  EXPECT_EQ(o.out, "23\n");
  EXPECT_EQ(Snapshot(work.update), (Tree{{"update.zip", "<dir>"}, {"update.zip/inside", "kept"}}));
}

TEST(DownloadFromNginx, EmptyBodyLeavesTheEarlierPackage) {
  Served served("");
  ASSERT_TRUE(served.nginx.started()) << served.nginx.failure();
  Workdir work;
  WriteFile(work.target, kEarlierPackage);

  const Outcome o = Download(served.nginx.Url("update.zip"), config::kCredentials, work.target);

  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(Snapshot(work.update), (Tree{{"update.zip", kEarlierPackage}}));
}

TEST(Download, UnreachableServerKeepsTheEarlierPackage) {
  Workdir work;
  WriteFile(work.target, kEarlierPackage);
  const std::string url =
      "http://127.0.0.1:" + std::to_string(FreePort()) + "/hotels/package/update.zip";

  const Outcome o = Download(url, kCredentials, work.target);

  EXPECT_EQ(o.result, 7);
  EXPECT_EQ(o.out, "7\n");
  EXPECT_EQ(Snapshot(work.update), (Tree{{"update.zip", kEarlierPackage}}));
}

// ---------------------------------------------------------------------------
// Against the fault server

TEST(DownloadFaults, SendsOneGetOfThePackagePathWithBasicCredentials) {
  FaultServer server({"--mode", "status", "--status", "404"});
  ASSERT_TRUE(server.listening());
  Workdir work;

  Download(server.Url(), kCredentials, work.target);

  const std::string request = server.Request();
  EXPECT_EQ(request.rfind("GET /hotels/package/update.zip HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_NE(request.find(std::string("\r\nAuthorization: Basic ") + kCredentialsBase64 + "\r\n"),
            std::string::npos)
      << request;
}

TEST(DownloadFaults, ErrorOrRedirectStatusBodyIsNeverSaved) {
  for (const char* status : {"302", "401", "404", "500"}) {
    SCOPED_TRACE(status);
    FaultServer server({"--mode", "status", "--status", status});
    ASSERT_TRUE(server.listening());
    Workdir earlier, none;
    WriteFile(earlier.target, kEarlierPackage);

    const Outcome a = Download(server.Url(), kCredentials, earlier.target);
    const Outcome b = Download(server.Url(), kCredentials, none.target);

    EXPECT_EQ(a.out, "22\n");
    EXPECT_EQ(b.out, "22\n");
    EXPECT_EQ(Snapshot(earlier.update), (Tree{{"update.zip", kEarlierPackage}}));
    EXPECT_EQ(Snapshot(none.update), Tree{});
  }
}

struct BrokenTransfer {
  const char* mode;
  int result;
};

void PrintTo(const BrokenTransfer& broken, std::ostream* os) { *os << broken.mode; }

class DownloadBroken : public testing::TestWithParam<BrokenTransfer> {};

TEST_P(DownloadBroken, LeavesNoTruncatedPackageBehind) {
  // Enough body bytes to reach the partial file before the break.
  FaultServer server({"--mode", GetParam().mode, "--bytes", "70000"});
  ASSERT_TRUE(server.listening());
  TransferLimits quick;
  quick.low_speed_time_seconds = 1;  // the stalled case ends in seconds
  Workdir earlier, none;
  WriteFile(earlier.target, kEarlierPackage);

  const Outcome a = Download(server.Url(), kCredentials, earlier.target, quick);
  const Outcome b = Download(server.Url(), kCredentials, none.target, quick);

  const std::string line = std::to_string(GetParam().result) + "\n";
  EXPECT_EQ(a.result, GetParam().result);
  EXPECT_EQ(a.out, line);
  EXPECT_EQ(b.out, line);
  EXPECT_EQ(Snapshot(earlier.update), (Tree{{"update.zip", kEarlierPackage}}));
  EXPECT_EQ(Snapshot(none.update), Tree{});
}

INSTANTIATE_TEST_SUITE_P(Faults, DownloadBroken,
                         testing::Values(BrokenTransfer{"close-after", 18},
                                         BrokenTransfer{"short-length", 18},
                                         BrokenTransfer{"reset", 56}, BrokenTransfer{"stall", 28}),
                         [](const testing::TestParamInfo<BrokenTransfer>& info) {
                           std::string name = info.param.mode;
                           for (char& c : name)
                             if (c == '-') c = '_';
                           return name;
                         });

// ---------------------------------------------------------------------------
// Over https, and through a proxy

// The throw-away PKI of tests/http/make-certificates.
struct Certificates {
  TempDir dir;
  const bool made = RunProgram({MAKE_CERTIFICATES, dir.path()}, "/", 120).exit_code == 0;
  Nginx::Tls Server(const std::string& name) const {
    return {dir / (name + ".pem"), dir / (name + ".key")};
  }
  std::string Ca() const { return ReadFile(dir / "ca.pem"); }
};

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { unsetenv(name_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
};

// tinyproxy through tests/http/forward-proxy, asking for `credentials`.
class ForwardProxy {
 public:
  explicit ForwardProxy(const std::string& credentials) {
    for (int attempt = 0; attempt < 5 && !listening(); ++attempt) {
      port_ = FreePort();
      pid_ = Spawn({FORWARD_PROXY, std::to_string(port_), dir_.path(), credentials}, "/");
      for (int i = 0; i < 300 && pid_ > 0 && !listening(); ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
  }
  ~ForwardProxy() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  bool listening() const { return pid_ > 0 && PortAccepts(port_); }
  int port() const { return port_; }
  std::string Log() const { return ReadFile(dir_ / "proxy.log"); }

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

TEST(DownloadOverTls, PinnedCaAcceptsItsServer) {
  Certificates pki;
  ASSERT_TRUE(pki.made);
  Served served(BinaryBody(200000), config::kCredentials, pki.Server("server"));
  ASSERT_TRUE(served.nginx.started()) << served.nginx.failure();
  Workdir work;

  const Outcome o = Download(served.nginx.Url("update.zip"), config::kCredentials, work.target,
                             TransferLimits(), pki.Ca());

  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(Snapshot(work.update), (Tree{{"update.zip", served.body}}));
}

TEST(DownloadOverTls, RefusesAnotherCaOrAnotherNameWithAClearLine) {
  Certificates pki;
  ASSERT_TRUE(pki.made);
  struct Case {
    const char* certificate;
    std::string trusted;  // empty: the system's store
  };
  for (const Case& c :
       {Case{"stranger", pki.Ca()}, Case{"other-name", pki.Ca()}, Case{"server", ""}}) {
    SCOPED_TRACE(c.certificate + std::string(c.trusted.empty() ? " (system store)" : ""));
    Served served(BinaryBody(4096), config::kCredentials, pki.Server(c.certificate));
    ASSERT_TRUE(served.nginx.started()) << served.nginx.failure();
    Workdir work;
    WriteFile(work.target, kEarlierPackage);

    const std::string url = served.nginx.Url("update.zip");
    const Outcome o = Download(url, config::kCredentials, work.target, TransferLimits(), c.trusted);

    EXPECT_EQ(o.result, 60);
    EXPECT_EQ(o.out.rfind("Secure connection to " + url + " refused: ", 0), 0u) << o.out;
    EXPECT_NE(o.out.find("certificate"), std::string::npos) << o.out;
    EXPECT_EQ(o.out.substr(o.out.find('\n') + 1), "60\n");
    EXPECT_EQ(Snapshot(work.update), (Tree{{"update.zip", kEarlierPackage}}));
    EXPECT_EQ(served.nginx.AccessLog(), "");
  }
}

const char kProxyCredentials[] = "visitor:proxy-secret";
const char kProxyCredentialsBase64[] = "dmlzaXRvcjpwcm94eS1zZWNyZXQ=";

TEST(DownloadThroughProxy, EnvironmentProxyWithItsOwnCredentialsCarriesTheDownload) {
  Certificates pki;
  ASSERT_TRUE(pki.made);
  Served served(BinaryBody(300000), config::kCredentials, pki.Server("server"));
  ASSERT_TRUE(served.nginx.started()) << served.nginx.failure();
  ForwardProxy proxy(kProxyCredentials);
  ASSERT_TRUE(proxy.listening());
  const std::string address = "http://127.0.0.1:" + std::to_string(proxy.port());
  ScopedEnv env("https_proxy", "http://" + std::string(kProxyCredentials) + "@" +
                                   address.substr(std::string("http://").size()));
  Workdir work;

  const Outcome o = Download(served.nginx.Url("update.zip"), config::kCredentials, work.target,
                             TransferLimits(), pki.Ca());

  EXPECT_EQ(o.result, 0) << o.out;
  EXPECT_EQ(o.proxy, "Proxy: " + address + " (environment: https_proxy)");
  EXPECT_EQ(Snapshot(work.update), (Tree{{"update.zip", served.body}}));
  EXPECT_NE(proxy.Log().find("CONNECT localhost:" + std::to_string(served.nginx.port())),
            std::string::npos)
      << proxy.Log();
  EXPECT_NE(served.nginx.AccessLog().find("\" 200 "), std::string::npos);
}

TEST(DownloadThroughProxy, TheProxyGetsOnlyItsOwnCredentials) {
  // A proxy that refuses everyone, recording what it was sent.
  FaultServer proxy({"--mode", "status", "--status", "407"});
  ASSERT_TRUE(proxy.listening());
  ScopedEnv env("https_proxy", "http://" + std::string(kProxyCredentials) +
                                   "@127.0.0.1:" + std::to_string(proxy.port()));
  Workdir work;

  const Outcome o =
      Download("https://localhost:" + std::to_string(FreePort()) + "/hotels/package/update.zip",
               kCredentials, work.target);

  EXPECT_NE(o.result, 0);
  EXPECT_EQ(Snapshot(work.update), Tree{});
  const std::string request = proxy.Request();
  EXPECT_EQ(request.rfind("CONNECT localhost:", 0), 0u) << request;
  EXPECT_NE(request.find(std::string("\r\nProxy-Authorization: Basic ") + kProxyCredentialsBase64 +
                         "\r\n"),
            std::string::npos)
      << request;
  EXPECT_EQ(request.find(kCredentialsBase64), std::string::npos) << request;
  EXPECT_EQ(request.find("\r\nAuthorization:"), std::string::npos) << request;
}

// ---------------------------------------------------------------------------
// The sink alone, without a network

TEST(PackageFileSink, WritesBesideTheTargetUntilCommitted) {
  Workdir work;
  WriteFile(work.target, kEarlierPackage);
  const std::string body = BinaryBody(50000);
  {
    PackageFile sink(work.target);
    char* data = const_cast<char*>(body.data());
    EXPECT_EQ(WritePackageChunk(data, 1, 20000, &sink), 20000u);
    EXPECT_EQ(WritePackageChunk(data + 20000, 1, 30000, &sink), 30000u);
    EXPECT_EQ(ReadFile(work.target), kEarlierPackage);
    EXPECT_TRUE(sink.Commit());
  }
  EXPECT_EQ(Snapshot(work.update), (Tree{{"update.zip", body}}));
}

TEST(PackageFileSink, TargetThatCannotBeOpenedAnswersAllOnes) {
  TempDir cwd;
  PackageFile sink(cwd / "update/update.zip");
  char data[] = "abc";
  EXPECT_EQ(WritePackageChunk(data, 1, 3, &sink), static_cast<size_t>(-1));
  EXPECT_FALSE(sink.Commit());
  EXPECT_EQ(Snapshot(cwd.path()), Tree{});
}

}  // namespace
