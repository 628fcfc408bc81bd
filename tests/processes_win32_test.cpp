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
  EXPECT_FALSE(IsMainAppRunning(Native(name)));
  const pid_t pid = Spawn({t / name}, t.path());
  ASSERT_GT(pid, 0);
  const auto ids = WaitForIdsNamed(name);
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(ids[0], static_cast<ProcessId>(pid));
  EXPECT_TRUE(IsMainAppRunning(Native(name)));

  ProcessControl process(ids[0]);
  ASSERT_TRUE(process.is_open());
  EXPECT_TRUE(process.Terminate());
  EXPECT_TRUE(process.WaitForEnd(10s));
  WaitChild(pid, 10);
  EXPECT_TRUE(IdsNamed(name).empty());
  EXPECT_FALSE(IsMainAppRunning(Native(name)));
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
