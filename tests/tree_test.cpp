// Moving an unpacked tree into place and emptying a directory, on real
// directory trees.

#include <gtest/gtest.h>
#include <unistd.h>

#include "support.h"
#include "tree.h"

using namespace testing_support;

namespace {

// "目录为:" in GBK, as the clean-up writes it.
const std::string kLine = "\xC4\xBF\xC2\xBC\xCE\xAA:";

}  // namespace

TEST(MoveTree, ReplacesFilesAndCreatesTheDirectoriesThePackageAdds) {
  TempDir t;
  const std::string src = t / "src", dst = t / "dst";
  MakeDirs(src + "/sub");
  MakeDirs(src + "/new/deeper");
  MakeDirs(src + "/empty");
  WriteFile(src + "/a.txt", "new a");
  WriteFile(src + "/sub/b.txt", "b");
  WriteFile(src + "/new/deeper/c.txt", "c");
  MakeDirs(dst + "/sub");
  WriteFile(dst + "/a.txt", "old a");
  WriteFile(dst + "/sub/keep.txt", "kept");

  MoveTree(src + "/", dst + "/");

  const Tree installed = {{"a.txt", "new a"},        {"sub", "<dir>"},  {"sub/b.txt", "b"},
                          {"sub/keep.txt", "kept"},  {"new", "<dir>"},  {"new/deeper", "<dir>"},
                          {"new/deeper/c.txt", "c"}, {"empty", "<dir>"}};
  EXPECT_EQ(Snapshot(dst), installed);
  // Source directories stay, emptied of their files.
  const Tree left = {
      {"sub", "<dir>"}, {"new", "<dir>"}, {"new/deeper", "<dir>"}, {"empty", "<dir>"}};
  EXPECT_EQ(Snapshot(src), left);
}

TEST(MoveTree, PassesOverDotDirectoriesButMovesDotFiles) {
  TempDir t;
  const std::string src = t / "src", dst = t / "dst";
  MakeDirs(src + "/.git/objects");
  MakeDirs(src + "/d");
  MakeDirs(dst);
  WriteFile(src + "/.git/config", "x");
  WriteFile(src + "/.git/objects/o", "y");
  WriteFile(src + "/.env", "e");
  WriteFile(src + "/d/.rc", "r");

  MoveTree(src + "/", dst + "/");

  const Tree installed = {{".env", "e"}, {"d", "<dir>"}, {"d/.rc", "r"}};
  EXPECT_EQ(Snapshot(dst), installed);
  EXPECT_EQ(ReadFile(src + "/.git/objects/o"), "y");
}

TEST(MoveTree, MovesLinksAsSingleEntriesAndLeavesTheirTargets) {
  TempDir t;
  const std::string src = t / "src", dst = t / "dst", outside = t / "outside";
  MakeDirs(src);
  MakeDirs(dst);
  MakeDirs(outside + "/inner");
  WriteFile(outside + "/inner/t.txt", "t");
  ASSERT_EQ(symlink((outside + "/inner").c_str(), (src + "/dirlink").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/inner/t.txt").c_str(), (src + "/filelink").c_str()), 0);
  const Tree outside_before = Snapshot(outside);

  MoveTree(src + "/", dst + "/");

  const Tree installed = {{"dirlink", "-> " + outside + "/inner"},
                          {"filelink", "-> " + outside + "/inner/t.txt"}};
  EXPECT_EQ(Snapshot(dst), installed);
  EXPECT_TRUE(Snapshot(src).empty());
  EXPECT_EQ(Snapshot(outside), outside_before);
}

TEST(MoveTree, LeavesInPlaceWhatCannotMoveAndGoesOn) {
  TempDir t;
  const std::string src = t / "src", dst = t / "dst";
  // The package has a file where the installation has a directory, and a
  // directory where it has a file.
  MakeDirs(src + "/plugins");
  WriteFile(src + "/data", "package file");
  WriteFile(src + "/plugins/p.dll", "p");
  WriteFile(src + "/z.txt", "z");
  MakeDirs(dst + "/data");
  WriteFile(dst + "/data/user.db", "u");
  WriteFile(dst + "/plugins", "installation file");

  MoveTree(src + "/", dst + "/");

  const Tree installed = {
      {"data", "<dir>"}, {"data/user.db", "u"}, {"plugins", "installation file"}, {"z.txt", "z"}};
  EXPECT_EQ(Snapshot(dst), installed);
  const Tree left = {{"data", "package file"}, {"plugins", "<dir>"}, {"plugins/p.dll", "p"}};
  EXPECT_EQ(Snapshot(src), left);
}

TEST(MoveTree, MissingOrEmptySourceChangesNothing) {
  TempDir t;
  MakeDirs(t / "empty");
  MakeDirs(t / "dst");
  WriteFile(t / "dst/f", "f");
  MoveTree(t / "missing/", t / "dst/");
  MoveTree(t / "empty/", t / "dst/");
  EXPECT_EQ(Snapshot(t / "dst"), (Tree{{"f", "f"}}));
}

TEST(IsDirectory, OnlyForADirectoryItself) {
  TempDir t;
  MakeDirs(t / "d");
  WriteFile(t / "f", "");
  ASSERT_EQ(symlink((t / "d").c_str(), (t / "link").c_str()), 0);
  EXPECT_TRUE(IsDirectory(t / "d"));
  EXPECT_FALSE(IsDirectory(t / "f"));
  EXPECT_FALSE(IsDirectory(t / "missing"));
  EXPECT_FALSE(IsDirectory(t / "link"));
}

TEST(ClearDirectory, EmptiesTheTreeAndWritesALineForEachSubdirectory) {
  TempDir t;
  const std::string dir = t / "update";
  MakeDirs(dir + "/a/b");
  MakeDirs(dir + "/.dot");
  WriteFile(dir + "/update.zip", "zip");
  WriteFile(dir + "/a/b/c.txt", "c");
  WriteFile(dir + "/a/g", "g");
  WriteFile(dir + "/.dot/x", "x");

  testing::internal::CaptureStdout();
  ClearDirectory(dir);
  const std::string out = testing::internal::GetCapturedStdout();

  EXPECT_TRUE(IsDir(dir));
  EXPECT_TRUE(Snapshot(dir).empty());
  const std::string a = kLine + dir + "//a\n", ab = kLine + dir + "//a//b\n",
                    dot = kLine + dir + "//.dot\n";
  EXPECT_EQ(out.size(), a.size() + ab.size() + dot.size()) << out;
  EXPECT_NE(out.find(dot), std::string::npos) << out;
  // A directory's line comes before the lines of what is inside it.
  ASSERT_NE(out.find(a), std::string::npos) << out;
  EXPECT_EQ(out.find(ab), out.find(a) + a.size()) << out;
}

TEST(ClearDirectory, RemovesLinksButNeverWhatTheyPointTo) {
  TempDir t;
  const std::string dir = t / "update", outside = t / "outside";
  MakeDirs(dir + "/sub");
  MakeDirs(outside + "/tree");
  WriteFile(outside + "/tree/precious.txt", "p");
  WriteFile(outside + "/file.txt", "f");
  ASSERT_EQ(symlink((outside + "/tree").c_str(), (dir + "/dirlink").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/file.txt").c_str(), (dir + "/sub/filelink").c_str()), 0);
  const Tree outside_before = Snapshot(outside);

  testing::internal::CaptureStdout();
  ClearDirectory(dir + "/");
  const std::string out = testing::internal::GetCapturedStdout();

  EXPECT_TRUE(Snapshot(dir).empty());
  EXPECT_EQ(Snapshot(outside), outside_before);
  EXPECT_EQ(out, kLine + dir + "///sub\n");
}

TEST(ClearDirectory, SingleFileGoesAndAMissingDirectoryIsLeftAlone) {
  TempDir t;
  MakeDirs(t / "one");
  WriteFile(t / "one/only", "o");
  testing::internal::CaptureStdout();
  ClearDirectory(t / "one");
  ClearDirectory(t / "missing");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(IsDir(t / "one"));
  EXPECT_TRUE(Snapshot(t / "one").empty());
  EXPECT_FALSE(Exists(t / "missing"));
}
