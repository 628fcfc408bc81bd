#include <gtest/gtest.h>
#include <unistd.h>

#include "basedir.h"
#include "path.h"
#include "processes.h"

TEST(BaseDir, IsTheExecutablesDirectoryWithOneTrailingSeparator) {
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  std::string expected(exe, static_cast<size_t>(n));
  expected.erase(expected.rfind('/') + 1);
  EXPECT_EQ(GetBaseDir(), expected);
  EXPECT_EQ(ExecutableDirectory() + "/", expected);
}

TEST(Utf8Paths, ValidTextPassesAndInvalidTextBecomesEmpty) {
  Path p;
  EXPECT_TRUE(PathFromUtf8("a/\xe4\xb8\xad\xe6\x96\x87.txt", &p));
  EXPECT_EQ(p, "a/\xe4\xb8\xad\xe6\x96\x87.txt");
  EXPECT_EQ(PathToUtf8(p), p);
  for (const char* bad : {"\xff", "a\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
    p = "left over";
    EXPECT_FALSE(PathFromUtf8(bad, &p)) << bad;
    EXPECT_TRUE(p.empty());
  }
}

#include <sys/stat.h>

#include <set>

#include "files.h"
#include "support.h"

using namespace testing_support;

TEST(Files, MakeOneDirectoryTellsTheReasonsApart) {
  TempDir t;
  EXPECT_EQ(MakeOneDirectory(t / "a"), MakeDirResult::kCreated);
  EXPECT_EQ(MakeOneDirectory(t / "a"), MakeDirResult::kExists);
  EXPECT_EQ(MakeOneDirectory(t / "missing/b"), MakeDirResult::kParentMissing);
  EXPECT_FALSE(Exists(t / "missing"));
}

TEST(Files, ListingReportsKindsWithoutFollowingLinks) {
  TempDir t;
  MakeDirs(t / "d/sub");
  WriteFile(t / "d/f", "x");
  ASSERT_EQ(symlink((t / "d/sub").c_str(), (t / "d/link").c_str()), 0);
  std::set<std::pair<std::string, EntryKind>> seen;
  DirectoryListing listing(t / "d");
  ASSERT_TRUE(listing.is_open());
  DirEntry e;
  while (listing.Next(&e)) seen.insert({e.name, e.kind});
  const std::set<std::pair<std::string, EntryKind>> expected = {
      {"sub", EntryKind::kDirectory}, {"f", EntryKind::kFile}, {"link", EntryKind::kLink}};
  EXPECT_EQ(seen, expected);
  EXPECT_FALSE(DirectoryListing(t / "nothing").is_open());
  EXPECT_FALSE(DirectoryListing(t / "d/f").is_open());

  // The link goes, its target stays.
  EXPECT_TRUE(RemoveFileEntry(t / "d/link"));
  EXPECT_TRUE(IsDir(t / "d/sub"));
}

TEST(Files, MoveReplacesFilesButNeverADirectory) {
  TempDir t;
  WriteFile(t / "new", "new");
  WriteFile(t / "old", "old");
  EXPECT_TRUE(MoveReplacing(t / "new", t / "old"));
  EXPECT_EQ(ReadFile(t / "old"), "new");
  EXPECT_FALSE(Exists(t / "new"));
  MakeDirs(t / "dir");
  EXPECT_FALSE(MoveReplacing(t / "old", t / "dir"));
  EXPECT_EQ(ReadFile(t / "old"), "new");
}

#include <sys/wait.h>

#include <regex>
#include <sstream>
#include <vector>

#include "report.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Detaches the log when the test ends, however it ends.
struct AttachedLog {
  AttachedLog(const std::string& path, const std::string& rotated) { AttachLog(path, rotated); }
  ~AttachedLog() { AttachLog(Path(), Path()); }
};

}  // namespace

TEST(Log, EveryLineReachesItsStreamAndTheLogWithTimeAndProcess) {
  TempDir t;
  AttachedLog log(t / "updater.log", t / "updater.log.1");
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  Report("first %d\nsecond\n", 1);
  ReportError("Cannot open %s\n", "x.zip");
  ReportToLog("for the log only\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "first 1\nsecond\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot open x.zip\n");

  const std::vector<std::string> lines = Lines(ReadFile(t / "updater.log"));
  const std::vector<std::string> texts{"first 1", "second", "Cannot open x.zip",
                                       "for the log only"};
  ASSERT_EQ(lines.size(), texts.size());
  const std::string pid = std::to_string(getpid());
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_TRUE(std::regex_match(
        lines[i],
        std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[)" + pid + R"(\] )" + texts[i])))
        << lines[i];
  }
}

TEST(Log, ALineThatWouldTakeItPastOneMebibyteStartsANewOneAndKeepsThePrevious) {
  TempDir t;
  const std::string full(kLogLimitBytes - 10, 'x');
  WriteFile(t / "updater.log", full);
  WriteFile(t / "updater.log.1", "an older log");
  AttachedLog log(t / "updater.log", t / "updater.log.1");
  testing::internal::CaptureStdout();
  Report("short\n");  // stamp and text need more than 10 bytes
  Report("next\n");
  testing::internal::GetCapturedStdout();

  EXPECT_EQ(ReadFile(t / "updater.log.1"), full);
  const std::vector<std::string> lines = Lines(ReadFile(t / "updater.log"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("] short"), std::string::npos);
  EXPECT_NE(lines[1].find("] next"), std::string::npos);
}

TEST(Log, ALogThatCannotBeWrittenLeavesTheStreamsAsTheyAre) {
  TempDir t;
  MakeDirs(t / "updater.log");  // a directory where the log should be
  AttachedLog log(t / "updater.log", t / "updater.log.1");
  testing::internal::CaptureStdout();
  Report("still here\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "still here\n");
  EXPECT_TRUE(IsDir(t / "updater.log"));
  EXPECT_EQ(Snapshot(t.path()), (Tree{{"updater.log", "<dir>"}}));
}

TEST(Log, TwoProcessesAppendingAtOnceNeverSplitALine) {
  TempDir t;
  const std::string long_text(300, 'y');
  std::vector<pid_t> children;
  for (int child = 0; child < 2; ++child) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (!std::freopen("/dev/null", "w", stdout)) _exit(2);
      AttachLog(t / "updater.log", t / "updater.log.1");
      for (int i = 0; i < 500; ++i) Report("%d %s\n", child, long_text.c_str());
      _exit(0);
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const std::vector<std::string> lines = Lines(ReadFile(t / "updater.log"));
  EXPECT_EQ(lines.size(), 1000u);
  const std::regex whole(R"(\S+ \S+ \[\d+\] [01] y{300})");
  for (const std::string& line : lines) ASSERT_TRUE(std::regex_match(line, whole)) << line;
}

TEST(Log, OnlyTheFirstOutcomeOfARunIsWritten) {
  testing::internal::CaptureStdout();
  ReportOutcome(RunOutcome::kDownloadFailed, "the server answered HTTP 404");
  ReportOutcome(RunOutcome::kPromptClosed);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Outcome: download failed: the server answered HTTP 404\n");
}
