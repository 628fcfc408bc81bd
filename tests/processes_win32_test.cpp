// The Win32 process layer under Wine: the Toolhelp32 table, termination
// with a bounded wait, and the detached start, on copies of a stand-in
// program under image names of their own.

#include <gtest/gtest.h>
#include <windows.h>
// windows.h maps CopyFile to its own function; the test helper of that name
// is meant here.
#undef CopyFile

#include <chrono>
#include <thread>

#include "files.h"
#include "install.h"
#include "processes.h"
#include "support.h"
#include "transaction.h"

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

Path Native(const std::string& utf8) {
  Path p;
  EXPECT_TRUE(PathFromUtf8(utf8, &p)) << utf8;
  return p;
}

// A copy of the stand-in under a name no other process carries.
std::string StandinCopy(const TempDir& dir) {
  static int counter = 0;
  const std::string name =
      "standin-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter) + ".exe";
  std::string standin = STANDIN_EXE;
  if (!standin.empty() && standin[0] == '/') standin = "Z:" + standin;
  CopyFile(standin, dir / name);
  return name;
}

std::vector<ProcessId> IdsNamed(const std::string& image_name) {
  std::vector<ProcessEntry> table;
  EXPECT_TRUE(ListProcesses(&table));
  std::vector<ProcessId> ids;
  for (const auto& e : table)
    if (PathToUtf8(e.image_name) == image_name) ids.push_back(e.id);
  return ids;
}

// The install settings of a main application at dir/name.
InstallSettings At(const std::string& dir, const std::string& name) {
  return InstallSettings{Native(dir + "\\"), Native(name)};
}

std::vector<ProcessId> WaitForIdsNamed(const std::string& image_name) {
  for (int i = 0; i < 500; ++i) {
    auto ids = IdsNamed(image_name);
    if (!ids.empty()) return ids;
    std::this_thread::sleep_for(20ms);
  }
  return {};
}

}  // namespace

TEST(Processes, TheTableNamesRunningProgramsByImageName) {
  TempDir t;
  const std::string name = StandinCopy(t);
  EXPECT_TRUE(IdsNamed(name).empty());
  EXPECT_FALSE(IsMainAppRunning(At(t.path(), name)));
  const pid_t pid = Spawn({t / name}, t.path());
  ASSERT_GT(pid, 0);
  const auto ids = WaitForIdsNamed(name);
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(ids[0], static_cast<ProcessId>(pid));
  EXPECT_TRUE(IsMainAppRunning(At(t.path(), name)));

  ProcessControl process(ids[0]);
  ASSERT_TRUE(process.is_open());
  EXPECT_TRUE(process.Terminate());
  EXPECT_TRUE(process.WaitForEnd(10s));
  WaitChild(pid, 10);
  EXPECT_TRUE(IdsNamed(name).empty());
  EXPECT_FALSE(IsMainAppRunning(At(t.path(), name)));
}

TEST(Processes, OnlyTheInstanceAtTheInstallationsPathIsSeenAndStopped) {
  TempDir t, other;
  const std::string name = StandinCopy(t);
  CopyFile(t / name, other / name);
  const pid_t pid = Spawn({other / name}, other.path());
  ASSERT_GT(pid, 0);
  ASSERT_EQ(WaitForIdsNamed(name).size(), 1u);
  EXPECT_FALSE(IsMainAppRunning(At(t.path(), name)));
  // The same path in other letter case is the same file on Windows.
  std::string upper = other.path();
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(IsMainAppRunning(At(upper, name)));

  MakeDirs(t / "update");
  testing::internal::CaptureStdout();
  InstallUpdate(At(t.path(), name));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(IdsNamed(name).size(), 1u) << "stopped, or one started";
  EXPECT_EQ(WaitChild(pid, 0), -1);  // still running: killed now
}

TEST(Processes, ARunningImageIsReplacedOnlyAfterTheWaitForItsEnd) {
  TempDir t;
  const std::string name = StandinCopy(t);
  WriteFile(t / "new.exe", "new version");
  const pid_t pid = Spawn({t / name}, t.path());
  ASSERT_GT(pid, 0);
  const auto ids = WaitForIdsNamed(name);
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_FALSE(MoveReplacing(Native(t / "new.exe"), Native(t / name)));

  ProcessControl process(ids[0]);
  ASSERT_TRUE(process.Terminate());
  ASSERT_TRUE(process.WaitForEnd(10s));
  EXPECT_TRUE(MoveReplacing(Native(t / "new.exe"), Native(t / name)));
  EXPECT_EQ(ReadFile(t / name), "new version");
  WaitChild(pid, 10);
}

TEST(Processes, AnIdThatIsGoneOpensNothingAndNeedsNoWait) {
  ProcessControl nobody(0xFFFFFFF0ul);
  EXPECT_FALSE(nobody.is_open());
  EXPECT_TRUE(nobody.WaitForEnd(0ms));
}

TEST(Processes, TheDetachedStartRunsTheProgramByItsFullPathInTheCurrentDirectory) {
  TempDir t;
  const std::string name = StandinCopy(t);
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(Native(t.path()).c_str()));
  const bool started = StartDetachedProgram(Native(t / name));
  SetCurrentDirectoryW(previous);
  ASSERT_TRUE(started);
  const auto ids = WaitForIdsNamed(name);
  ASSERT_EQ(ids.size(), 1u);
  for (int i = 0; i < 500 && ReadFile(t / "standin-ran.txt").empty(); ++i)
    std::this_thread::sleep_for(20ms);
  EXPECT_EQ(ReadFile(t / "standin-ran.txt"), std::to_string(ids[0]) + "\n");
  ProcessControl process(ids[0]);
  EXPECT_TRUE(process.Terminate());
  EXPECT_TRUE(process.WaitForEnd(10s));
  EXPECT_FALSE(StartDetachedProgram(Native(t / "missing.exe")));
}

TEST(Backups, AReadOnlyOrRunningBackupNeverBlocksTheNextInstall) {
  TempDir t;
  const std::string name = StandinCopy(t);
  MakeDirs(t / "update/backup");
  WriteFile(t / "update/backup/0", "read-only");
  ASSERT_TRUE(SetFileAttributesW(Native(t / "update/backup/0").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(MoveReplacing(Native(t / name), Native(t / "update/backup/1.exe")));
  const pid_t pid = Spawn({t / "update/backup/1.exe"}, t.path());
  ASSERT_GT(pid, 0);
  ASSERT_EQ(WaitForIdsNamed("1.exe").size(), 1u);

  const InstallPaths paths = InstallPathsFor(Native(t.path()));
  testing::internal::CaptureStdout();
  ClearWorkingDirectory(paths);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(Exists(t / "update/backup")) << out;
  EXPECT_FALSE(Exists(t / "update/backup/0"));
  // Wherever the running image went, a later clean-up takes it.
  WaitChild(pid, 0);
  for (int i = 0; i < 100 && !IdsNamed("1.exe").empty(); ++i) std::this_thread::sleep_for(20ms);
  testing::internal::CaptureStdout();
  ClearWorkingDirectory(paths);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(Snapshot(t / "update").empty()) << out;
}
