// The whole updater, as a user's machine runs it, over a package placed in
// update/update.zip by hand (the package server has none to give, and the
// download leaves it):
// runs killed at random moments of their install are settled by the next
// run, and of two runs started together only one installs.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <thread>

#include "nginx.h"
#include "support.h"
#include "two_versions.h"
#include "updater_config.h"
#include "zip_fixture.h"

using namespace testing_support;
using Clock = std::chrono::steady_clock;

namespace {

// Starts the updater in its directory with its output thrown away.
pid_t StartUpdater(const std::string& dir, const std::string& out = "/dev/null") {
  return Spawn({"/bin/sh", "-c", "exec ./updater >'" + out + "' 2>/dev/null"}, dir);
}

int FromEnvironment(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::atoi(value) : fallback;
}

// nginx on the compiled-in package port with nothing to serve: every
// download ends at once in a 404, which is not retried.
struct NoPackageServer {
  TempDir root;
  Nginx nginx{root.path(), config::kCredentials, LoopbackPort(config::kPackageUrl)};
};

bool IsWorkingFile(const std::string& name) {
  return name == "update" || name.rfind("update/", 0) == 0;
}

// An installation beside a copy of the updater, and a package over it
// (TwoVersions, and a new main application).
struct Installation {
  TempDir dir;
  std::string exe = dir / "updater";
  Tree old_version, new_version;

  explicit Installation(const std::string& zip) {
    CopyFile(UPDATER_EXE, exe);
    MakeDirs(dir / "update");
    CopyFile(zip, dir / "update/update.zip");
    for (const auto& [name, content] : Files(zip_files())) {
      if (content.first.empty()) continue;
      const std::string path = dir / name;
      MakeDirs(path.substr(0, path.rfind('/')));
      WriteFile(path, content.first);
    }
    old_version = Installed();
    new_version = old_version;
    for (const auto& [name, content] : Files(zip_files())) {
      if (content.second.empty()) continue;
      for (size_t slash = name.find('/'); slash != std::string::npos;
           slash = name.find('/', slash + 1))
        new_version[name.substr(0, slash)] = "<dir>";
      new_version[name] = content.second;
    }
  }

  static int& zip_files() {
    static int files = 0;
    return files;
  }

  // name -> (old content or "", new content or "")
  static std::map<std::string, std::pair<std::string, std::string>> Files(int files) {
    auto all = TwoVersions(files);
    all[config::kMainApp] = {"old main application", "new main application"};
    return all;
  }

  static void MakePackage(const std::string& zip, int files) {
    zip_files() = files;
    std::vector<zip_fixture::Entry> entries;
    for (const auto& [name, content] : Files(files)) {
      if (content.second.empty()) continue;
      zip_fixture::Entry entry;
      entry.name = name;
      entry.data = content.second;
      entries.push_back(entry);
    }
    zip_fixture::WriteZip(zip, entries);
  }

  Tree Installed() const {
    Tree tree = Snapshot(dir.path());
    for (auto it = tree.begin(); it != tree.end();)
      it = IsWorkingFile(it->first) ? tree.erase(it) : std::next(it);
    return tree;
  }

  std::string Outcome() const {
    const Tree now = Installed();
    return now == old_version ? "old" : now == new_version ? "new" : "mixed";
  }
};

}  // namespace

TEST(CrashRecovery, AKilledRunIsRolledBackOrFinishedNeverMixed) {
  const int kills = FromEnvironment("CRASH_KILLS", 6);
  NoPackageServer server;
  ASSERT_TRUE(server.nginx.started()) << server.nginx.failure();
  TempDir packages;
  const std::string zip = packages / "update.zip";
  Installation::MakePackage(zip, FromEnvironment("CRASH_FILES", 600));

  // An uninterrupted run, to learn when its install starts (the journal
  // appears) and how long it goes on.
  auto journal_time = Clock::duration::zero(), install_time = journal_time;
  {
    Installation inst(zip);
    const auto start = Clock::now();
    const pid_t pid = StartUpdater(inst.dir.path());
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (journal_time == Clock::duration::zero() && Exists(inst.dir / "update/install.journal"))
        journal_time = Clock::now() - start;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    install_time = Clock::now() - start - journal_time;
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    ASSERT_EQ(inst.Outcome(), "new");
    ASSERT_GT(journal_time, Clock::duration::zero());
  }

  std::mt19937 random(20261207);
  std::map<std::string, int> outcomes;
  for (int i = 0; i < kills; ++i) {
    Installation inst(zip);
    const pid_t pid = StartUpdater(inst.dir.path());
    ASSERT_GT(pid, 0);
    // Most kills fall into the install (from the journal's appearance to the
    // end of the run), more of them early in it, where the swap is; every
    // fourth anywhere in the run.
    const auto start = Clock::now();
    if (i % 4 != 3) {
      while (!Exists(inst.dir / "update/install.journal") &&
             Clock::now() - start < std::chrono::seconds(60))
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    const auto span = i % 4 != 3 ? install_time : journal_time + install_time;
    const double share = std::uniform_real_distribution<double>(0, 1)(random);
    std::this_thread::sleep_for(i % 4 != 3 ? span * (share * share) : span * share);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);

    const RunResult next = RunProgram({inst.exe}, inst.dir.path());
    EXPECT_EQ(next.exit_code, 1);
    const std::string outcome = inst.Outcome();
    EXPECT_NE(outcome, "mixed") << "kill " << i << "\n" << next.out;
    // The new version always comes with its record and its package kept,
    // the old one never.
    Tree update = WithoutLog(Snapshot(inst.dir / "update"));
    EXPECT_EQ(update.erase("installed.record"), outcome == "new" ? 1u : 0u) << "kill " << i;
    EXPECT_EQ(update.erase("installed.zip"), outcome == "new" ? 1u : 0u) << "kill " << i;
    EXPECT_TRUE(update.empty()) << "kill " << i << "\n" << next.out;
    ++outcomes[outcome + (WIFSIGNALED(status) ? ", killed" : ", had ended")];
  }
  for (const auto& [outcome, count] : outcomes) std::printf("%4d x %s\n", count, outcome.c_str());
}

TEST(RunLock, OfTwoUpdatersStartedTogetherOneInstallsAndTheOtherTouchesNothing) {
  TempDir packages;
  const std::string zip = packages / "update.zip";
  Installation::MakePackage(zip, 1200);
  Installation inst(zip);
  NoPackageServer server;
  ASSERT_TRUE(server.nginx.started()) << server.nginx.failure();
  TempDir io;  // their outputs, outside the tree
  const pid_t a = StartUpdater(inst.dir.path(), io / "a");
  const pid_t b = StartUpdater(inst.dir.path(), io / "b");
  EXPECT_EQ(WaitChild(a, 120), 1);
  EXPECT_EQ(WaitChild(b, 120), 1);
  const std::string busy = "Another updater is running in " + inst.dir.path() +
                           "/; this one ends\nOutcome: another updater was running\n";
  const std::string a_out = ReadFile(io / "a"), b_out = ReadFile(io / "b");
  EXPECT_TRUE((a_out == busy) != (b_out == busy)) << a_out << "\n----\n" << b_out;
  EXPECT_EQ(inst.Outcome(), "new");
  const Tree update = WithoutLog(Snapshot(inst.dir / "update"));
  EXPECT_EQ(update.size(), 2u);
  EXPECT_EQ(update.count("installed.record"), 1u);
  EXPECT_EQ(update.count("installed.zip"), 1u);

  // Both wrote into the one log, each line whole and marked with its process.
  const std::string log = ReadFile(inst.dir / "update/updater.log");
  const std::string loser = std::to_string(a_out == busy ? a : b);
  const std::string winner = std::to_string(a_out == busy ? b : a);
  EXPECT_NE(log.find("[" + loser + "] Outcome: another updater was running\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("[" + winner + "] Outcome: installed\n"), std::string::npos) << log;
}
