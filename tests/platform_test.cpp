#include <gtest/gtest.h>
#include <unistd.h>

#include "basedir.h"
#include "path.h"
#include "processes.h"
#include "text.h"

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

TEST(Text, LegacyChineseNamesAndUpperCaseAsWindowsComparesNames) {
  std::string utf8 = "left alone";
  EXPECT_TRUE(LegacyChineseToUtf8("\xb8\xfc\xd0\xc2.txt", &utf8));
  EXPECT_EQ(utf8, "\xe6\x9b\xb4\xe6\x96\xb0.txt");  // 更新.txt
  EXPECT_FALSE(LegacyChineseToUtf8("bad\xff", &utf8));
  EXPECT_EQ(utf8, "\xe6\x9b\xb4\xe6\x96\xb0.txt");
  EXPECT_EQ(UpperCaseForNames("readme-\xc3\xa4\xd0\xb6.txt"), "README-\xc3\x84\xd0\x96.TXT");
  EXPECT_EQ(UpperCaseForNames("bad\xff.txt"), "BAD\xff.TXT");
  EXPECT_TRUE(IsValidUtf8("\xe6\x9b\xb4"));
  EXPECT_FALSE(IsValidUtf8("\xb8\xfc"));
}

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
