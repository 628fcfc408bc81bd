// The Win32 side of the platform layer, run under Wine: the same contracts
// as the POSIX tests, with wide paths.

#include <gtest/gtest.h>
#include <windows.h>

#include <set>

#include "basedir.h"
#include "durable.h"
#include "file_output.h"
#include "files.h"
#include "log_file.h"
#include "path.h"
#include "processes.h"
#include "reparse_win32.h"
#include "support.h"
#include "volume.h"

using namespace testing_support;

namespace {

Path Native(const std::string& utf8) {
  Path p;
  EXPECT_TRUE(PathFromUtf8(utf8, &p)) << utf8;
  return p;
}

}  // namespace

TEST(BaseDir, IsTheExecutablesDirectoryWithOneTrailingSeparator) {
  wchar_t exe[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
  ASSERT_GT(n, 0u);
  std::wstring expected(exe, n);
  expected.erase(expected.rfind(L'\\') + 1);
  EXPECT_EQ(GetBaseDir(), expected);
  EXPECT_EQ(ExecutableDirectory() + L"\\", expected);
}

TEST(Utf8Paths, ValidTextPassesAndInvalidTextBecomesEmpty) {
  Path p;
  EXPECT_TRUE(PathFromUtf8("a/\xe4\xb8\xad\xe6\x96\x87.txt", &p));
  EXPECT_EQ(p, L"a/\u4e2d\u6587.txt");
  EXPECT_EQ(PathToUtf8(p), "a/\xe4\xb8\xad\xe6\x96\x87.txt");
  EXPECT_EQ(PathToUtf8(L"\U0001F600"), "\xf0\x9f\x98\x80");
  for (const char* bad : {"\xff", "a\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
    p = L"left over";
    EXPECT_FALSE(PathFromUtf8(bad, &p)) << bad;
    EXPECT_TRUE(p.empty());
  }
}

TEST(Files, MakeOneDirectoryTellsTheReasonsApart) {
  TempDir t;
  EXPECT_EQ(MakeOneDirectory(Native(t / "a")), MakeDirResult::kCreated);
  EXPECT_EQ(MakeOneDirectory(Native(t / "a")), MakeDirResult::kExists);
  WriteFile(t / "f", "x");
  EXPECT_EQ(MakeOneDirectory(Native(t / "f")), MakeDirResult::kExists);
  EXPECT_EQ(MakeOneDirectory(Native(t / "missing/b")), MakeDirResult::kParentMissing);
  EXPECT_FALSE(Exists(t / "missing"));
  EXPECT_EQ(MakeOneDirectory(Native(t / "\xe4\xb8\xad")), MakeDirResult::kCreated);
  EXPECT_TRUE(IsDir(t / "\xe4\xb8\xad"));
}

TEST(Files, ListingReportsKindsAndWideNames) {
  TempDir t;
  MakeDirs(t / "d/sub");
  WriteFile(t / "d/f", "x");
  WriteFile(t / "d/\xe4\xb8\xad\xe6\x96\x87.txt", "y");
  std::set<std::pair<Path, EntryKind>> seen;
  DirectoryListing listing(Native(t / "d"));
  ASSERT_TRUE(listing.is_open());
  DirEntry e;
  while (listing.Next(&e)) seen.insert({e.name, e.kind});
  const std::set<std::pair<Path, EntryKind>> expected = {{L"sub", EntryKind::kDirectory},
                                                         {L"f", EntryKind::kFile},
                                                         {L"\u4e2d\u6587.txt", EntryKind::kFile}};
  EXPECT_EQ(seen, expected);
  EXPECT_FALSE(DirectoryListing(Native(t / "nothing")).is_open());
  EXPECT_FALSE(DirectoryListing(Native(t / "d/f")).is_open());

  EntryKind kind;
  EXPECT_TRUE(GetEntryKind(Native(t / "d/sub"), &kind));
  EXPECT_EQ(kind, EntryKind::kDirectory);
  EXPECT_FALSE(GetEntryKind(Native(t / "d/none"), &kind));
}

TEST(Files, RemovalTakesOnlyWhatItIsAskedFor) {
  TempDir t;
  MakeDirs(t / "d/sub");
  WriteFile(t / "d/f", "x");
  EXPECT_FALSE(RemoveEmptyDirectory(Native(t / "d")));
  EXPECT_TRUE(IsDir(t / "d"));
  EXPECT_TRUE(RemoveFileEntry(Native(t / "d/f")));
  EXPECT_FALSE(Exists(t / "d/f"));
  EXPECT_FALSE(RemoveFileEntry(Native(t / "d/f")));
  EXPECT_TRUE(RemoveEmptyDirectory(Native(t / "d/sub")));
  EXPECT_TRUE(RemoveEmptyDirectory(Native(t / "d")));
  EXPECT_FALSE(Exists(t / "d"));
}

TEST(Files, MoveReplacesFilesButNeverADirectory) {
  TempDir t;
  WriteFile(t / "new", "new");
  WriteFile(t / "old", "old");
  EXPECT_TRUE(MoveReplacing(Native(t / "new"), Native(t / "old")));
  EXPECT_EQ(ReadFile(t / "old"), "new");
  EXPECT_FALSE(Exists(t / "new"));
  MakeDirs(t / "dir");
  EXPECT_FALSE(MoveReplacing(Native(t / "old"), Native(t / "dir")));
  EXPECT_EQ(ReadFile(t / "old"), "new");
  EXPECT_TRUE(IsDir(t / "dir"));
}

TEST(Files, AFileHeldOpenWithoutSharingIsNotReplaced) {
  // As with a running program's image: the move fails and both files stay.
  TempDir t;
  WriteFile(t / "new", "new");
  WriteFile(t / "busy", "busy");
  const HANDLE held =
      CreateFileW(Native(t / "busy").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(MoveReplacing(Native(t / "new"), Native(t / "busy")));
  CloseHandle(held);
  EXPECT_EQ(ReadFile(t / "busy"), "busy");
  EXPECT_EQ(ReadFile(t / "new"), "new");
}

TEST(Files, PathsLongerThanMaxPathWorkThroughEveryCall) {
  TempDir t;
  // Joined with '/' and doubled separators, as the walks compose paths.
  const Path root = Native(t.path());
  std::vector<Path> dirs;
  Path dir = root;
  while (dir.size() < 2 * MAX_PATH) {
    dir += L"//" + Path(60, L'd') + std::to_wstring(dirs.size());
    ASSERT_EQ(MakeOneDirectory(dir), MakeDirResult::kCreated) << dir.size();
    dirs.push_back(dir);
  }
  const Path file = dir + L"/f.txt", moved = dir + L"/g.txt";
  DurableFile out;
  ASSERT_TRUE(out.Create(file));
  ASSERT_TRUE(out.Append("long") && out.Flush());
  out = DurableFile();
  EntryKind kind;
  ASSERT_TRUE(GetEntryKind(file, &kind));
  EXPECT_EQ(kind, EntryKind::kFile);
  ASSERT_TRUE(MoveToNewName(file, moved));
  DirectoryListing listing(dir);
  DirEntry entry;
  ASSERT_TRUE(listing.Next(&entry));
  EXPECT_EQ(entry.name, L"g.txt");
  listing = DirectoryListing(root);
  std::string content;
  EXPECT_TRUE(ReadWholeFile(moved, &content));
  EXPECT_EQ(content, "long");
  uint64_t size = 0, free = 0;
  EXPECT_TRUE(OpenFileForReading(moved, &size) && size == 4);
  EXPECT_TRUE(OpenFileForAppending(moved, &size) && size == 4);
  EXPECT_TRUE(OpenFileForReading(moved));
  EXPECT_TRUE(FreeSpaceOnVolume(dir, &free) && free > 0);
  EXPECT_TRUE(AppendToLog(dir + L"/log", dir + L"/log.1", "a line\n", 4));
  EXPECT_TRUE(AppendToLog(dir + L"/log", dir + L"/log.1", "rotated\n", 4));
  CloseLog();
  EXPECT_TRUE(RemoveFileEntry(dir + L"/log") && RemoveFileEntry(dir + L"/log.1"));
  EXPECT_TRUE(RemoveFileEntry(moved));
  bool missing = false;
  EXPECT_FALSE(ReadWholeFile(moved, &content, &missing));
  EXPECT_TRUE(missing);
  for (auto it = dirs.rbegin(); it != dirs.rend(); ++it) EXPECT_TRUE(RemoveEmptyDirectory(*it));
}

TEST(Files, AReadOnlyFileIsRemovedAndAHeldOneIsNot) {
  TempDir t;
  WriteFile(t / "ro", "r");
  ASSERT_TRUE(SetFileAttributesW(Native(t / "ro").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(RemoveFileEntry(Native(t / "ro")));
  EXPECT_FALSE(Exists(t / "ro"));
  // Denied for a reason the attribute is not: it is put back.
  WriteFile(t / "held", "h");
  ASSERT_TRUE(SetFileAttributesW(Native(t / "held").c_str(), FILE_ATTRIBUTE_READONLY));
  const HANDLE held =
      CreateFileW(Native(t / "held").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(RemoveFileEntry(Native(t / "held")));
  CloseHandle(held);
  EXPECT_TRUE(GetFileAttributesW(Native(t / "held").c_str()) & FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(RemoveFileEntry(Native(t / "held")));
}

TEST(Files, AJournalHeldWithoutSharingIsUnreadableNotMissing) {
  TempDir t;
  WriteFile(t / "j", "j");
  const HANDLE held =
      CreateFileW(Native(t / "j").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  std::string content;
  bool missing = true;
  EXPECT_FALSE(ReadWholeFile(Native(t / "j"), &content, &missing));
  EXPECT_FALSE(missing);
  CloseHandle(held);
  EXPECT_FALSE(ReadWholeFile(Native(t / "none/j"), &content, &missing));
  EXPECT_TRUE(missing);
}

// Two updaters share one log. The other one rotates it (the rename and its
// first line in a new file) while this one still has the old file open:
// when this one's next line would take that file past the limit, the fresh
// log is not rotated over the one that was just set aside.
TEST(Log, AFileAnotherWriterRotatedIsNotRotatedAgain) {
  TempDir t;
  const Path log = Native(t / "updater.log"), rotated = Native(t / "updater.log.1");
  const std::string earlier(95, 'a');
  ASSERT_TRUE(AppendToLog(log, rotated, earlier + "\n", 100));
  ASSERT_TRUE(MoveFileExW(log.c_str(), rotated.c_str(), MOVEFILE_REPLACE_EXISTING));
  WriteFile(t / "updater.log", "fresh\n");
  EXPECT_TRUE(AppendToLog(log, rotated, "late\n", 100));
  CloseLog();
  EXPECT_EQ(ReadFile(t / "updater.log.1"), earlier + "\n");
  EXPECT_EQ(ReadFile(t / "updater.log"), "fresh\nlate\n");
}

// Wine makes no reparse points of other kinds; the tags are what the
// listing and the look-up act on.
TEST(Files, OnlySymbolicLinksAndMountPointsAreLinks) {
  EXPECT_TRUE(IsLinkReparseTag(IO_REPARSE_TAG_SYMLINK));
  EXPECT_TRUE(IsLinkReparseTag(IO_REPARSE_TAG_MOUNT_POINT));
  for (const DWORD tag : {DWORD{IO_REPARSE_TAG_DEDUP}, DWORD{IO_REPARSE_TAG_CLOUD_3},
                          DWORD{IO_REPARSE_TAG_APPEXECLINK}, DWORD{IO_REPARSE_TAG_WCI}})
    EXPECT_FALSE(IsLinkReparseTag(tag)) << std::hex << tag;
}

TEST(Paths, TheSameFileAsWindowsComparesNames) {
  EXPECT_TRUE(SamePath(L"C:\\Apps\\Tesko.EXE", L"c:/apps/tesko.exe"));
  EXPECT_TRUE(SamePath(L"\\\\?\\C:\\apps\\tesko.exe", L"C:\\apps\\tesko.exe"));
  EXPECT_TRUE(SamePath(L"C:\\\u00c4\\x", L"C:\\\u00e4\\x"));
  EXPECT_FALSE(SamePath(L"C:\\apps\\tesko.exe", L"D:\\apps\\tesko.exe"));
  EXPECT_FALSE(SamePath(L"C:\\apps\\tesko.exe", L"C:\\apps\\tesko.exe2"));
}
