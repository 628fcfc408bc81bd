// The package download against real servers on loopback: nginx for the
// normal case and for credentials, the project's fault server for broken
// answers, retries and resumed transfers. Whatever happens, update.zip is
// either the complete new body or exactly what it was before, and a partial
// file stays only with the identification of its source.

#include <gtest/gtest.h>
#include <signal.h>
#include <sodium.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "delta_fetch.h"
#include "download.h"
#include "fault_server.h"
#include "nginx.h"
#include "package_check.h"
#include "report.h"
#include "support.h"
#include "transfer_log.h"
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
  std::string out;      // what followed the proxy line
  std::string proxy;    // the proxy line, without its line end
  std::string failure;  // why it failed, for the run's outcome line
  // The lines of the failed attempts, and the final line.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::string Last() const { return Lines().empty() ? "" : Lines().back(); }
  size_t Attempts() const {
    size_t n = 0;
    for (const std::string& line : Lines()) n += line.rfind("Download attempt ", 0) == 0;
    return n;
  }
};

// Retries that wait milliseconds instead of seconds.
TransferLimits Quick() {
  TransferLimits limits;
  limits.first_retry_delay = std::chrono::milliseconds(10);
  limits.max_retry_delay = std::chrono::milliseconds(2000);
  return limits;
}

Outcome Download(const std::string& url, const std::string& credentials, const std::string& target,
                 const TransferLimits& limits = TransferLimits(), const std::string& ca = "") {
  testing::internal::CaptureStdout();
  std::string failure;
  const int result = DownloadPackageFrom(url.c_str(), credentials.c_str(), target, limits,
                                         ca.c_str(), nullptr, nullptr, &failure);
  const std::string out = testing::internal::GetCapturedStdout();
  const size_t end = out.find('\n');
  if (out.rfind("Proxy: ", 0) != 0 || end == std::string::npos) return {result, out, "", failure};
  return {result, out.substr(end + 1), out.substr(0, end), failure};
}

// A directory with an "update" subdirectory, as beside an installed updater.
struct Workdir {
  TempDir dir;
  std::string update = dir / "update";
  std::string target = dir / "update/update.zip";
  Workdir() { MakeDirs(update); }
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
  EXPECT_EQ(missing.failure, "the server answered HTTP 404");
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
    EXPECT_EQ(o.Attempts(), 1u) << o.out;
    EXPECT_EQ(o.Last(), "22");
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
  EXPECT_EQ(o.Attempts(), 1u) << o.out;
  EXPECT_EQ(o.Last(), "23");
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

TEST(Download, UnreachableServerIsTriedFiveTimesAndKeepsTheEarlierPackage) {
  Workdir work;
  WriteFile(work.target, kEarlierPackage);
  const std::string url =
      "http://127.0.0.1:" + std::to_string(FreePort()) + "/hotels/package/update.zip";

  const Outcome o = Download(url, kCredentials, work.target, Quick());

  EXPECT_EQ(o.result, 7);
  EXPECT_EQ(o.Attempts(), 5u) << o.out;
  EXPECT_EQ(o.Last(), "7");
  EXPECT_EQ(Snapshot(work.update), (Tree{{"update.zip", kEarlierPackage}}));
}

// ---------------------------------------------------------------------------
// Against the fault server

TEST(DownloadFaults, SendsOneGetOfThePackagePathWithBasicCredentials) {
  FaultServer server({"--mode", "status", "--status", "404"});
  ASSERT_TRUE(server.listening());
  Workdir work;

  Download(server.Url(), kCredentials, work.target, Quick());

  EXPECT_EQ(server.Requests().size(), 1u);  // a 404 does not change by waiting
  const std::string request = server.Request();
  EXPECT_EQ(request.rfind("GET /hotels/package/update.zip HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_NE(request.find(std::string("\r\nAuthorization: Basic ") + kCredentialsBase64 + "\r\n"),
            std::string::npos)
      << request;
}

TEST(DownloadFaults, ErrorOrRedirectStatusBodyIsNeverSaved) {
  for (const char* status : {"302", "401", "403", "404", "500", "503"}) {
    SCOPED_TRACE(status);
    FaultServer server({"--mode", "status", "--status", status});
    ASSERT_TRUE(server.listening());
    Workdir earlier, none;
    WriteFile(earlier.target, kEarlierPackage);

    const Outcome a = Download(server.Url(), kCredentials, earlier.target, Quick());
    const Outcome b = Download(server.Url(), kCredentials, none.target, Quick());

    // Only a server failure may pass by waiting.
    const size_t attempts = status[0] == '5' ? 5 : 1;
    EXPECT_EQ(a.Attempts(), attempts) << a.out;
    EXPECT_EQ(server.Requests().size(), 2 * attempts);
    EXPECT_EQ(a.Last(), "22");
    EXPECT_EQ(b.Last(), "22");
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
  TransferLimits quick = Quick();
  // The stalled case ends in seconds: libcurl averages the speed over the
  // last few seconds, and the first burst would hide a stall below 1 byte/s.
  quick.low_speed_limit_bytes_per_second = 1 << 20;
  quick.low_speed_time_seconds = 1;
  quick.max_attempts_without_progress = 2;
  Workdir earlier, none;
  WriteFile(earlier.target, kEarlierPackage);

  const Outcome a = Download(server.Url(), kCredentials, earlier.target, quick);
  const Outcome b = Download(server.Url(), kCredentials, none.target, quick);

  // Each attempt broke the same way, and none could be resumed: nothing
  // identified the body.
  const std::string code = std::to_string(GetParam().result);
  EXPECT_EQ(a.result, GetParam().result);
  EXPECT_EQ(a.Attempts(), 2u) << a.out;
  EXPECT_NE(a.Lines()[0].find("(" + code + "); next attempt in "), std::string::npos) << a.out;
  EXPECT_EQ(a.Last(), code);
  EXPECT_EQ(b.Last(), code);
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
// Resumed and retried downloads, against the fault server's scripted answers

// One scripted answer that serves `file`, with `more` JSON members.
std::string Serve(const std::string& file, const std::string& more = "") {
  return "{\"mode\": \"package\", \"package\": \"" + file + "\"" + more + "}";
}

struct Packages {
  TempDir dir;
  std::string body = BinaryBody(1 << 20);
  std::string changed = std::string(body.rbegin(), body.rend()) + "and longer";
  std::string a = dir / "a.zip", b = dir / "b.zip";
  size_t cut = body.size() * 2 / 5;
  Packages() {
    WriteFile(a, body);
    WriteFile(b, changed);
  }
};

TEST(DownloadResume, CutBodyIsContinuedOrStartedOverAsTheServerAnswers) {
  Packages p;
  const std::string first =
      Serve(p.a, ", \"etag\": \"\\\"a\\\"\", \"cut_after\": " + std::to_string(p.cut));
  struct Case {
    const char* what;
    std::string second;
    const std::string& result;
  } cases[] = {
      {"same file: the rest", Serve(p.a, ", \"etag\": \"\\\"a\\\"\""), p.body},
      {"changed file: all of the new one", Serve(p.b, ", \"etag\": \"\\\"b\\\"\""), p.changed},
      {"range ignored: all again", Serve(p.a, ", \"etag\": \"\\\"a\\\"\", \"ignore_range\": true"),
       p.body},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FaultServer server({}, "[" + first + ", " + c.second + "]");
    ASSERT_TRUE(server.listening());
    Workdir work;
    WriteFile(work.target, kEarlierPackage);

    const Outcome o = Download(server.Url(), kCredentials, work.target, Quick());

    EXPECT_EQ(o.result, 0);
    ASSERT_EQ(o.Attempts(), 1u) << o.out;
    EXPECT_NE(o.Lines()[0].find("Download attempt 1 failed: Transferred a partial file (18), " +
                                std::to_string(p.cut) + " bytes kept; next attempt in "),
              std::string::npos)
        << o.out;
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].range, "-");
    EXPECT_EQ(requests[1].range, "bytes=" + std::to_string(p.cut) + "-");
    EXPECT_EQ(requests[1].if_range, "\"a\"");
    EXPECT_TRUE(Snapshot(work.update) == (Tree{{"update.zip", c.result}}));
  }
}

TEST(DownloadResume, TimeLimitKeepsThePartFileAndItsDateForTheNextRun) {
  Packages p;
  const std::string date = ", \"last_modified\": \"Tue, 08 Dec 2026 03:00:00 GMT\"";
  FaultServer server(
      {}, "[" + Serve(p.a, date + ", \"stall\": true, \"cut_after\": " + std::to_string(p.cut)) +
              ", " + Serve(p.a, date) + "]");
  ASSERT_TRUE(server.listening());
  Workdir work;
  WriteFile(work.target, kEarlierPackage);
  TransferLimits limited = Quick();
  limited.time_limit = std::chrono::milliseconds(1500);

  const Outcome cut = Download(server.Url(), kCredentials, work.target, limited);

  EXPECT_EQ(cut.result, 28);
  ASSERT_EQ(cut.Attempts(), 1u) << cut.out;
  EXPECT_NE(cut.Lines()[0].find(std::to_string(p.cut) +
                                " bytes kept; the download's time limit of 1 s is reached"),
            std::string::npos)
      << cut.out;
  EXPECT_TRUE(Snapshot(work.update) == (Tree{{"update.zip", kEarlierPackage},
                                             {"update.zip.part", p.body.substr(0, p.cut)},
                                             {"update.zip.part.id",
                                              "Last-Modified: Tue, 08 Dec 2026 03:00:00 GMT\n"
                                              "Total-Size: " +
                                                  std::to_string(p.body.size()) + "\n"}}));

  const Outcome next = Download(server.Url(), kCredentials, work.target, Quick());

  EXPECT_EQ(next.result, 0);
  EXPECT_EQ(next.out, "");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].range, "bytes=" + std::to_string(p.cut) + "-");
  EXPECT_EQ(requests[1].if_range, "Tue, 08 Dec 2026 03:00:00 GMT");
  EXPECT_TRUE(Snapshot(work.update) == (Tree{{"update.zip", p.body}}));
}

// A delta from the fault server: a kept package of 2 MB and a new one that
// adds 900 KB to it, both stored.
class DeltaDownload : public testing::Test {
 protected:
  void SetUp() override {
    WriteFile(src / "kept.bin", BinaryBody(2000000));
    const std::string added = BinaryBody(900000);
    WriteFile(src / "added.bin", std::string(added.rbegin(), added.rend()));
    ASSERT_EQ(RunProgram({"/usr/bin/zip", "-q", "-0", kept, "kept.bin"}, src.path()).exit_code, 0);
    ASSERT_EQ(RunProgram({"/usr/bin/zip", "-q", "-0", fresh, "added.bin", "kept.bin"}, src.path())
                  .exit_code,
              0);
  }

  DeltaResult Delta(const FaultServer& server, const DeltaTrust& trust,
                    const TransferLimits& limits, std::string* out) {
    testing::internal::CaptureStdout();
    Transport transport(server.Url().c_str(), kCredentials, "", limits);
    ConditionalGet conditional;
    HashedPackage stored;
    bool predicted = false;
    const DeltaResult result =
        DownloadDelta(&transport, work.target, kept, trust, &conditional, &stored, &predicted);
    *out = testing::internal::GetCapturedStdout();
    return result;
  }

  Workdir work;
  TempDir src;
  const std::string kept = work.update + "/installed.zip", fresh = src / "new.zip";
};

// A delta cut off by the time limit keeps what it fetched, tied to the
// package; the next run takes that back and asks only for the rest.
TEST_F(DeltaDownload, ACutOffByTheTimeLimitIsContinuedByTheNextRun) {
  const std::string etag = ", \"etag\": \"\\\"n\\\"\"";
  FaultServer server({}, "[" + Serve(fresh, etag) + ", " +
                             Serve(fresh, etag + ", \"stall\": true, \"cut_after\": 600000") +
                             ", " + Serve(fresh, etag) + "]");
  ASSERT_TRUE(server.listening());
  TransferLimits limited = Quick();
  limited.time_limit = std::chrono::milliseconds(1500);
  std::string out;

  ASSERT_EQ(Delta(server, DeltaTrust(), limited, &out), DeltaResult::kCut) << out;
  EXPECT_NE(out.find("Delta update cut off (the time limit was reached)"), std::string::npos)
      << out;
  EXPECT_EQ(ReadFile(work.target + ".delta.id"),
            "Runs: 1\nETag: \"n\"\nTotal-Size: " + std::to_string(ReadFile(fresh).size()) + "\n");

  ASSERT_EQ(Delta(server, DeltaTrust(), Quick(), &out), DeltaResult::kStored) << out;
  EXPECT_TRUE(ReadFile(work.target) == ReadFile(fresh));
  EXPECT_NE(out.find(" fetched by an earlier run"), std::string::npos) << out;
  EXPECT_FALSE(Exists(work.target + ".delta"));
  EXPECT_FALSE(Exists(work.target + ".delta.id"));
}

// A package the server names by nothing at all is rebuilt only where a
// signature will prove it.
TEST_F(DeltaDownload, APackageNamedByNothingIsRebuiltOnlyForASignature) {
  FaultServer server({}, "[" + Serve(fresh, ", \"etag\": \"\"") + "]");
  ASSERT_TRUE(server.listening());
  std::string out;
  ASSERT_EQ(Delta(server, DeltaTrust(), Quick(), &out), DeltaResult::kWholeNeeded) << out;
  EXPECT_NE(out.find("Delta update not used (the server does not identify its package)"),
            std::string::npos)
      << out;
  DeltaTrust signed_build;
  signed_build.signed_build = true;
  ASSERT_EQ(Delta(server, signed_build, Quick(), &out), DeltaResult::kStored) << out;
  EXPECT_TRUE(ReadFile(work.target) == ReadFile(fresh));
}

// The signature is fetched within what is left of the package's phase, not
// with a time limit of its own.
TEST(DownloadResume, AFetchThatJoinsAPhaseEndsAtThePhasesDeadline) {
  FaultServer server({"--mode", "stall", "--bytes", "100"});
  ASSERT_TRUE(server.listening());
  Workdir work;
  TransferLimits phase = Quick();
  const auto started = std::chrono::steady_clock::now();
  phase.deadline = started + std::chrono::milliseconds(1500);

  const Outcome o =
      Download(server.Url() + ".minisig", kCredentials, work.target + ".minisig", phase);

  EXPECT_EQ(o.result, 28) << o.out;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST(DownloadResume, PartFileIsContinuedOnlyWhenItsIdentificationFits) {
  Packages p;
  FaultServer server({}, "[" + Serve(p.a, ", \"etag\": \"\\\"a\\\"\"") + "]");
  ASSERT_TRUE(server.listening());
  const std::string total = std::to_string(p.body.size());
  const std::string longer = p.body + "0123456789";
  struct Case {
    const char* what;
    std::string part;
    const char* id;  // null: none
    std::vector<std::string> ranges;
  } cases[] = {
      {"no identification", p.body.substr(0, 1000), nullptr, {"-"}},
      {"no size", p.body.substr(0, 1000), "ETag: \"a\"\n", {"-"}},
      {"empty validator", p.body.substr(0, 1000), "ETag:\nTotal-Size: 1048576\n", {"-"}},
      {"part as long as the whole", p.body, "ETag: \"a\"\nTotal-Size: 1048576\n", {"-"}},
      // The server's file is shorter than the part: 416, and all of it.
      {"range past the end", longer, "ETag: \"a\"\nTotal-Size: 2097152\n", {"bytes=1048586-", "-"}},
      // The server's file has another size: its 206 is no continuation.
      {"other total",
       p.body.substr(0, 1000),
       "ETag: \"a\"\nTotal-Size: 1048577\n",
       {"bytes=1000-", "-"}},
  };
  size_t seen = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Workdir work;
    WriteFile(work.target + ".part", c.part);
    if (c.id) WriteFile(work.target + ".part.id", c.id);

    const Outcome o = Download(server.Url(), kCredentials, work.target, Quick());

    EXPECT_EQ(o.result, 0);
    const auto requests = server.Requests();
    std::vector<std::string> ranges;
    for (size_t i = seen; i < requests.size(); ++i) ranges.push_back(requests[i].range);
    seen = requests.size();
    EXPECT_EQ(ranges, c.ranges);
    EXPECT_EQ(o.Attempts(), c.ranges.size() - 1) << o.out;
    if (c.ranges.size() > 1) {
      EXPECT_NE(o.out.find("; starting over at once\n"), std::string::npos) << o.out;
    }
    EXPECT_TRUE(Snapshot(work.update) == (Tree{{"update.zip", p.body}}));
  }
}

TEST(DownloadRetries, ServerRetryAfterIsWaitedForBetweenAttempts) {
  Packages p;
  const std::string busy =
      "{\"mode\": \"status\", \"status\": 503, \"headers\": {\"Retry-After\": \"1\"}}";
  FaultServer server({}, "[" + busy + ", " + busy + ", " + Serve(p.a) + "]");
  ASSERT_TRUE(server.listening());
  Workdir work;

  const Outcome o = Download(server.Url(), kCredentials, work.target, Quick());

  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(
      o.out,
      "Download attempt 1 failed: HTTP status 503 with Retry-After 1 s; next attempt in 1.0 s\n"
      "Download attempt 2 failed: HTTP status 503 with Retry-After 1 s; next attempt in 1.0 s\n");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  for (size_t i = 1; i < requests.size(); ++i) {
    const double gap = requests[i].seconds - requests[i - 1].seconds;
    EXPECT_GE(gap, 1.0);
    EXPECT_LT(gap, 1.9);  // the server's wait, not the longer of the own back-off
  }
  EXPECT_TRUE(Snapshot(work.update) == (Tree{{"update.zip", p.body}}));
}

TEST(DownloadRetries, BackOffDoublesWithJitterUpToTheCapAndHonoursRetryAfter) {
  using std::chrono::milliseconds;
  const TransferLimits limits;
  EXPECT_EQ(RetryDelay(1, -1, limits, 0.0), milliseconds(1000));
  EXPECT_EQ(RetryDelay(1, -1, limits, 1.0), milliseconds(2000));
  EXPECT_EQ(RetryDelay(3, -1, limits, 1.0), milliseconds(8000));
  EXPECT_EQ(RetryDelay(4, -1, limits, 0.5), milliseconds(12000));
  EXPECT_EQ(RetryDelay(9, -1, limits, 1.0), milliseconds(60000));
  EXPECT_EQ(RetryDelay(9, -1, limits, 0.0), milliseconds(30000));
  EXPECT_EQ(RetryDelay(1, 7, limits, 1.0), milliseconds(7000));
  EXPECT_EQ(RetryDelay(3, 1, limits, 1.0), milliseconds(8000));
  EXPECT_EQ(RetryDelay(1, 3600, limits, 0.0), milliseconds(60000));
}

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

// One range's answer, as it came.
class Part : public AnswerBody {
 public:
  bool Begin(Answer* answer) override { return answer->status == 206; }
  bool Take(const char* data, size_t count) override {
    bytes.append(data, count);
    return true;
  }
  std::string bytes;
};

// `count` requests of `size` bytes each, one after the other, and their
// parts.
struct Parts {
  Parts(size_t count, size_t size) : requests(count), parts(count) {
    for (size_t i = 0; i < count; ++i) {
      requests[i].range = std::to_string(i * size) + "-" + std::to_string(i * size + size - 1);
      bodies.push_back(&parts[i]);
    }
  }
  std::vector<Request> requests;
  std::vector<Part> parts;
  std::vector<AnswerBody*> bodies;
};

// Requests sent together to a server that is gone: one goes on alone until
// it gives up, and the others are not tried again.
TEST(Download, RequestsSentTogetherToAServerThatIsGoneGiveUpOnce) {
  testing::internal::CaptureStdout();
  Transport transport(("http://127.0.0.1:" + std::to_string(FreePort()) + "/update.zip").c_str(),
                      kCredentials, "", Quick());
  Parts four(4, 10);
  const std::vector<Answer> answers =
      transport.FetchTogether(four.requests, four.bodies, "Range request");
  const std::string out = testing::internal::GetCapturedStdout();
  for (const Answer& answer : answers) EXPECT_EQ(answer.kind, AnswerKind::kBroken);
  size_t alone = 0;
  for (size_t at = 0; (at = out.find("goes on alone", at)) != std::string::npos; ++at) ++alone;
  EXPECT_EQ(alone, 1u) << out;
  EXPECT_EQ(transport.requests(), 4u + kMaxAttemptsWithoutProgress) << out;
}

// A refusal's short page is read, and its connection kept. Requests sent
// together go four at a time, on connections kept for the next four: four
// in all over HTTP/1.1, one over HTTP/2.
TEST(DownloadOverTls, ARefusalAndRequestsSentTogetherKeepTheirConnections) {
  Certificates pki;
  ASSERT_TRUE(pki.made);
  for (const bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "https" : "http");
    Served served(BinaryBody(1 << 20), config::kCredentials,
                  tls ? pki.Server("server") : Nginx::Tls());
    ASSERT_TRUE(served.nginx.started()) << served.nginx.failure();
    testing::internal::CaptureStdout();
    const auto transport = [&] {
      return std::make_unique<Transport>(served.nginx.Url("update.zip").c_str(),
                                         config::kCredentials, tls ? pki.Ca().c_str() : "");
    };
    Parts eight(8, 100000);
    std::vector<Request>& requests = eight.requests;
    std::vector<Part>& parts = eight.parts;
    const std::vector<AnswerBody*>& bodies = eight.bodies;
    const auto one_by_one = transport();
    requests[0].range = "2000000-2000001";
    EXPECT_EQ(one_by_one->Send(requests[0], bodies[0]).status, 416);
    requests[0].range = "0-99999";
    EXPECT_EQ(one_by_one->Send(requests[0], bodies[0]).kind, AnswerKind::kSuccess);
    EXPECT_EQ(one_by_one->connections(), 1u);
    parts[0].bytes.clear();
    const auto together = transport();
    const std::vector<Answer> answers = together->FetchTogether(requests, bodies, "Range request");
    testing::internal::GetCapturedStdout();
    for (size_t i = 0; i < 8; ++i) {
      EXPECT_EQ(answers[i].kind, AnswerKind::kSuccess);
      EXPECT_TRUE(parts[i].bytes == served.body.substr(i * 100000, 100000)) << i;
    }
    EXPECT_EQ(together->connections(), tls ? 1u : 4u);
  }
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
    // The refusal is not retried: one attempt's line, then the code.
    const std::vector<std::string> lines = o.Lines();
    ASSERT_EQ(lines.size(), 3u) << o.out;
    EXPECT_EQ(lines[1].rfind("Download attempt 1 failed: ", 0), 0u) << o.out;
    EXPECT_NE(lines[1].find("(60); not retried"), std::string::npos) << o.out;
    EXPECT_EQ(lines[2], "60");
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

TEST(DownloadThroughProxy, TheProxyLineShowsNoUserOrPasswordWhateverThePasswordHolds) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://user:p@ss@host:3128", "http://host:3128"}, {"host:3128", "http://host:3128"}};
  for (const auto& [address, shown] : cases) {
    ScopedEnv env("https_proxy", address);
    EXPECT_EQ(DescribeProxy(ChooseProxy("https://updates.example/hotels/package/update.zip")),
              std::string("Proxy: ") + shown + " (environment: https_proxy)");
  }
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
    EXPECT_EQ(sink.Write(data, 1, 20000), 20000u);
    EXPECT_EQ(sink.Write(data + 20000, 1, 30000), 30000u);
    EXPECT_EQ(ReadFile(work.target), kEarlierPackage);
    EXPECT_TRUE(sink.Commit());
  }
  EXPECT_EQ(Snapshot(work.update), (Tree{{"update.zip", body}}));
}

TEST(PackageFileSink, ContinuesAnIdentifiedPartFileAndReadsItsBytesBack) {
  Workdir work;
  const std::string body = BinaryBody(300000);
  WriteFile(work.target + ".part", body.substr(0, 100000));
  WriteFile(work.target + ".part.id", "ETag: \"v1\"\nTotal-Size: 300000\n");
  PackageFile sink(work.target);
  PartialSource source;
  ASSERT_EQ(sink.FindResumable(&source), 100000u);
  EXPECT_EQ(source.validator, "\"v1\"");
  EXPECT_EQ(source.total_size, 300000u);
  sink.Expect(100000, source);

  std::string before;
  EXPECT_TRUE(sink.ReadPartial([&](const char* data, size_t size) {
    before.append(data, size);
    return true;
  }));
  EXPECT_TRUE(before == body.substr(0, 100000));
  char* rest = const_cast<char*>(body.data()) + 100000;
  EXPECT_EQ(sink.Write(rest, 1, 200000), 200000u);
  EXPECT_TRUE(sink.Commit());
  EXPECT_TRUE(Snapshot(work.update) == (Tree{{"update.zip", body}}));
}

TEST(PackageFileSink, TargetThatCannotBeOpenedAnswersAllOnes) {
  TempDir cwd;
  PackageFile sink(cwd / "update/update.zip");
  char data[] = "abc";
  EXPECT_EQ(sink.Write(data, 1, 3), static_cast<size_t>(-1));
  EXPECT_FALSE(sink.Commit());
  EXPECT_EQ(Snapshot(cwd.path()), Tree{});
}

// What the hasher was fed, as its digest and size.
std::string DigestOf(PackageHasher* hasher) {
  const PackageDigests d = hasher->Finish();
  return std::string(reinterpret_cast<const char*>(d.blake2b), sizeof d.blake2b) +
         std::to_string(d.size);
}

// Many times what the hasher keeps in flight, fed in pieces that fit no
// block, after a start that is forgotten.
TEST(PackageHasher, DigestIsTheOneShotBlake2bOfTheWholeInput) {
  const std::string body = BinaryBody(5 * 1024 * 1024 + 7);
  unsigned char expected[64];
  crypto_generichash(expected, sizeof expected, reinterpret_cast<const unsigned char*>(body.data()),
                     body.size(), nullptr, 0);
  PackageHasher hasher;
  hasher.Update(body.data(), 3 * 1024 * 1024);
  hasher.Reset();
  for (size_t at = 0; at < body.size(); at += 100001)
    hasher.Update(body.data() + at, std::min<size_t>(100001, body.size() - at));
  EXPECT_EQ(DigestOf(&hasher),
            std::string(reinterpret_cast<const char*>(expected), sizeof expected) +
                std::to_string(body.size()));
}

std::string DigestOf(const HashedPackage& stored) {
  return std::string(reinterpret_cast<const char*>(stored.digests.blake2b),
                     sizeof stored.digests.blake2b) +
         std::to_string(stored.digests.size);
}

// The digest of a committed body is that of exactly the file in place: the
// bytes on disk first when continuing, nothing of a body that was given up.
TEST(PackageFileSink, DigestIsThatOfTheCommittedFileAlone) {
  const std::string body = BinaryBody(300000);
  PackageHasher whole;
  whole.Update(body.data(), body.size());
  const std::string expected = DigestOf(&whole);

  {
    Workdir work;
    WriteFile(work.target + ".part", body.substr(0, 100000));
    WriteFile(work.target + ".part.id", "ETag: \"v1\"\nTotal-Size: 300000\n");
    PackageFile sink(work.target);
    PartialSource source;
    ASSERT_EQ(sink.FindResumable(&source), 100000u);
    sink.Expect(100000, source);
    char* rest = const_cast<char*>(body.data()) + 100000;
    EXPECT_EQ(sink.Write(rest, 1, 200000), 200000u);
    HashedPackage stored;
    EXPECT_TRUE(sink.Commit(&stored));
    EXPECT_TRUE(DigestOf(stored) == expected);
    EXPECT_EQ(stored.file, work.target);
    EXPECT_TRUE(IsStillTheHashedFile(stored));
    WriteFile(work.target, body);  // the same bytes, but written again
    EXPECT_FALSE(IsStillTheHashedFile(stored));
  }
  {
    Workdir work;
    PackageFile sink(work.target);
    PartialSource resumable;
    resumable.kind = PartialSource::Validator::kETag;
    resumable.validator = "\"v1\"";
    resumable.total_size = 300000;
    sink.Expect(0, resumable);
    EXPECT_EQ(sink.Write(const_cast<char*>("an earlier attempt"), 1, 18), 18u);
    EXPECT_EQ(sink.Keep(), 18u);
    sink.Expect(0, PartialSource());
    EXPECT_EQ(sink.Write(const_cast<char*>(body.data()), 1, body.size()), body.size());
    HashedPackage stored;
    EXPECT_TRUE(sink.Commit(&stored));
    EXPECT_TRUE(DigestOf(stored) == expected);
    // A transfer that commits nothing describes nothing.
    HashedPackage none;
    EXPECT_FALSE(sink.Commit(&none));
    EXPECT_FALSE(none.present());
  }
}

// Whether a signed package may follow the installed one, and the build's
// floor: a fresh installation (no record) is held to the floor alone.
TEST(PackageCheck, ASignedTimeMayNotFallBehindTheInstalledOneNorTheFloor) {
  PackageRecord none, dated;
  dated.has_timestamp = true;
  dated.timestamp = 1800000000;
  struct Case {
    const char* comment;
    const PackageRecord* installed;
    int64_t floor;
    const char* reason;  // "" when it may follow
  } cases[] = {
      {"timestamp:1700000000", nullptr, 0, ""},
      {"timestamp:1700000000", nullptr, 1750000000, "it is older than this updater accepts"},
      {"timestamp:1760000000", nullptr, 1750000000, ""},
      {"release without a date", nullptr, 0, ""},
      {"release without a date", nullptr, 1750000000, "it has no signed timestamp, and this"},
      {"timestamp:1760000000", &dated, 1750000000, "it is older than the installed package"},
      {"timestamp:1800000000", &dated, 1750000000, ""},
      {"release without a date", &dated, 0, "it has no signed timestamp, and the installed"},
  };
  for (const Case& c : cases) {
    PackageRecord pending;
    std::string reason;
    const bool may = MayFollow(c.comment, c.installed ? *c.installed : none, c.installed != nullptr,
                               c.floor, &pending, &reason);
    EXPECT_EQ(may, *c.reason == '\0') << c.comment << " over " << c.floor;
    EXPECT_EQ(reason.rfind(c.reason, 0), 0u) << reason;
  }
}

}  // namespace
