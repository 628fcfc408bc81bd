// The extraction on real zip archives: each test makes its archive, extracts
// it into a fresh directory and checks the whole tree, the file times and
// the printed lines.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

#include "extract.h"
#include "extract_fs.h"
#include "support.h"
#include "zip_fixture.h"

using namespace testing_support;
using namespace zip_fixture;

namespace {

// 2024-03-15 10:20:30 in a zone eight hours east of UTC without daylight
// saving (set for every test below).
constexpr time_t kEntryTimeUtc = 1710469230;

class Extraction : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "CST-8", 1);
    tzset();
  }

  // Extracts `entries` (written to sandbox/update.zip) into sandbox/dest.
  bool Extract(const std::vector<Entry>& entries) {
    WriteZip(archive, entries);
    return ExtractInto(dest);
  }
  bool ExtractInto(const std::string& destination) {
    bool complete = false;
    output = Capture([&] { complete = ExtractArchive(archive, destination, nullptr, workers); });
    return complete;
  }
  std::string Extracting(const std::string& rel) const {
    return " extracting: " + dest + "/" + rel + "\n";
  }

  unsigned workers = 0;  // as the update sequence chooses
  TempDir sandbox;
  const std::string archive = sandbox / "update.zip";
  const std::string dest = sandbox / "dest";
  Output output;
};

// The extraction with one worker and with two: the same lines, the same
// files.
class ExtractionBy : public Extraction, public ::testing::WithParamInterface<unsigned> {
 protected:
  ExtractionBy() { workers = GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(Workers, ExtractionBy, ::testing::Values(1u, 2u),
                         [](const ::testing::TestParamInfo<unsigned>& info) {
                           return info.param == 1 ? "One" : "Two";
                         });

time_t ModificationTime(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

Tree Without(Tree tree, const std::string& key) {
  tree.erase(key);
  return tree;
}

}  // namespace

TEST_P(ExtractionBy, DirectoryEntriesAreCreatedAndFilesGetTheirDataAndTime) {
  EXPECT_TRUE(Extract({{"a/", ""}, {"a/b/", ""}, {"a/b/c.txt", "hello"}}));
  EXPECT_EQ(output.out, "creating directory: " + dest + "/a/\n" + "creating directory: " + dest +
                            "/a/b/\n" + Extracting("a/b/c.txt"));
  EXPECT_EQ(output.err, "");
  EXPECT_EQ(Snapshot(dest), (Tree{{"a", "<dir>"}, {"a/b", "<dir>"}, {"a/b/c.txt", "hello"}}));
  EXPECT_EQ(ModificationTime(dest + "/a/b/c.txt"), kEntryTimeUtc);
}

TEST_P(ExtractionBy, MissingDirectoriesAreMadeForFilesWithoutDirectoryEntries) {
  const std::string big = RandomBytes(100000, 7) + std::string(50000, 'x');
  EXPECT_TRUE(Extract({{"a/b/c.txt", "deep"}, {"stored.bin", big, kDosTime, false}}));
  EXPECT_EQ(output.out, Extracting("a/b/c.txt") + Extracting("stored.bin"));
  EXPECT_EQ(Snapshot(dest),
            (Tree{{"a", "<dir>"}, {"a/b", "<dir>"}, {"a/b/c.txt", "deep"}, {"stored.bin", big}}));
}

TEST_P(ExtractionBy, AnEmptyDirectoryIsMadeEvenWhenItsParentsAreNotListed) {
  EXPECT_TRUE(Extract({{"x/y/", ""}, {"z.txt", "z"}}));
  EXPECT_EQ(output.out, "creating directory: " + dest + "/x/y/\n" + Extracting("z.txt"));
  EXPECT_EQ(Snapshot(dest), (Tree{{"x", "<dir>"}, {"x/y", "<dir>"}, {"z.txt", "z"}}));
}

TEST_P(ExtractionBy, ExistingFilesAreOverwrittenAndTheLaterOfTwoEqualNamesWins) {
  MakeDirs(dest);
  WriteFile(dest + "/x.txt", "old content that is longer");
  EXPECT_TRUE(Extract({{"x.txt", "new"}, {"twice.txt", "first"}, {"twice.txt", "second"}}));
  EXPECT_EQ(Snapshot(dest), (Tree{{"x.txt", "new"}, {"twice.txt", "second"}}));
  EXPECT_EQ(output.out, Extracting("x.txt") + Extracting("twice.txt") + Extracting("twice.txt"));
}

TEST_P(ExtractionBy, ATargetThatCannotBeCreatedIsReportedAndSkipped) {
  // Root may write read-only files; a directory standing in the way stops
  // anyone.
  MakeDirs(dest + "/blocked.txt/inside");
  EXPECT_TRUE(Extract({{"blocked.txt", "data"}, {"after.txt", "after"}}));
  EXPECT_EQ(output.out, "error opening " + dest + "/blocked.txt\n" + Extracting("after.txt"));
  EXPECT_EQ(
      Snapshot(dest),
      (Tree{{"blocked.txt", "<dir>"}, {"blocked.txt/inside", "<dir>"}, {"after.txt", "after"}}));
}

TEST_P(ExtractionBy, ChineseNamesKeepTheirCharacters) {
  const std::string dir = "\xe6\x9b\xb4\xe6\x96\xb0";              // 更新
  const std::string file = dir + "/\xe8\xaf\xb4\xe6\x98\x8e.txt";  // 说明.txt
  EXPECT_TRUE(Extract({{file, "text"}}));
  EXPECT_EQ(output.out, Extracting(file));
  EXPECT_EQ(Snapshot(dest), (Tree{{dir, "<dir>"}, {file, "text"}}));
}

TEST_P(ExtractionBy, ANameThatIsNotUtf8IsReportedAndSkipped) {
  EXPECT_TRUE(Extract({{"bad\xff\xfe.txt", "x"}, {"ok.txt", "ok"}}));
  EXPECT_EQ(output.out, "error opening " + dest + "/bad\xff\xfe.txt\n" + Extracting("ok.txt"));
  EXPECT_EQ(Snapshot(dest), (Tree{{"ok.txt", "ok"}}));
}

TEST_P(ExtractionBy, AnEmptyArchiveLeavesAnEmptyDestination) {
  // The unzip library looks for the end record only after the first byte,
  // so an archive that is nothing but that record does not open; behind a
  // leading stub (as in a self-extracting archive) it does.
  WriteZip(archive, {});
  const std::string bare = ReadFile(archive);
  EXPECT_FALSE(ExtractInto(dest));
  EXPECT_EQ(output.err, "Cannot open " + archive + "\n");
  EXPECT_FALSE(Exists(dest));

  WriteFile(archive, "stub" + bare);
  EXPECT_TRUE(ExtractInto(dest));
  EXPECT_EQ(output.out, "");
  EXPECT_EQ(output.err, "");
  EXPECT_TRUE(IsDir(dest));
  EXPECT_EQ(Snapshot(dest), Tree{});
}

TEST_P(ExtractionBy, SomethingElseThanAnArchiveIsReportedOnStandardErrorOnly) {
  WriteFile(archive, "<html><body><h1>502 Bad Gateway</h1></body></html>\n");
  const Tree before = Snapshot(sandbox.path());
  EXPECT_FALSE(ExtractInto(dest));
  EXPECT_EQ(output.err, "Cannot open " + archive + "\n");
  EXPECT_EQ(output.out, "");
  EXPECT_EQ(Snapshot(sandbox.path()), before);

  RemoveTree(archive);
  EXPECT_FALSE(ExtractInto(dest));
  EXPECT_EQ(output.err, "Cannot open " + archive + "\n");
}

TEST_P(ExtractionBy, AWrongChecksumStopsAfterTheFileWasWrittenAndStamped) {
  const std::string data = std::string(20000, 'a') + RandomBytes(20000, 3);
  Entry bad{"bad.bin", data};
  bad.wrong_crc = true;
  EXPECT_FALSE(Extract({{"first.txt", "1"}, bad, {"later.txt", "never"}}));
  EXPECT_EQ(output.out, Extracting("first.txt") + Extracting("bad.bin") +
                            "error -105 with zipfile in unzCloseCurrentFile\n");
  EXPECT_EQ(Snapshot(dest), (Tree{{"first.txt", "1"}, {"bad.bin", data}}));
  EXPECT_EQ(ModificationTime(dest + "/bad.bin"), kEntryTimeUtc);
}

TEST_P(ExtractionBy, ADestinationEndingInASeparatorGetsNoSecondOne) {
  WriteZip(archive, {{"f.txt", "f"}});
  EXPECT_TRUE(ExtractInto(dest + "/"));
  EXPECT_EQ(output.out, Extracting("f.txt"));
}

TEST_F(Extraction, UnsafeNamesRefuseThePackageBeforeAnythingIsWritten) {
  for (const std::string name :
       {"../evil.txt", "a/../../evil.txt", "a/..", "..\\evil.txt", "a\\..\\..\\evil.txt",
        "/abs.txt", "\\abs.txt", "C:evil.txt", "c:/evil.txt", "a/.. /evil.txt", "a/.../evil.txt"}) {
    SCOPED_TRACE(name);
    const Tree before = Snapshot(sandbox.path());
    EXPECT_FALSE(Extract({{"ok.txt", "ok"}, {name, "evil"}, {"after.txt", "after"}}));
    EXPECT_EQ(output.out, "refusing entry outside the destination: " + name + "\n");
    EXPECT_EQ(Without(Snapshot(sandbox.path()), "update.zip"), Without(before, "update.zip"));
  }
}

TEST_F(Extraction, NamesWindowsCannotHoldRefuseThePackageBeforeAnythingIsWritten) {
  for (const std::string name :
       {"CON", "con.txt", "bin/NUL.dll", "Aux.tar.gz", "prn /x.txt", "COM1", "lpt9.log",
        "COM\xc2\xb9.txt", "dir/a:b.txt", "stream.txt:hidden", "trailing.", "dir./f.txt", "blank ",
        "blank /f.txt", "what?.txt", "a|b"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(Extract({{"ok.txt", "ok"}, {name, "x"}}));
    EXPECT_EQ(output.out, "refusing entry with a name Windows cannot hold: " + name + "\n");
    EXPECT_FALSE(Exists(dest));
  }
  // Only the names themselves are devices.
  EXPECT_TRUE(Extract({{"CONSOLE.txt", "1"},
                       {"com10", "2"},
                       {"lpt0.txt", "3"},
                       {"nul_/a", "4"},
                       {".config", "5"},
                       {"a.b.c", "6"}}));
  EXPECT_EQ(Snapshot(dest).size(), 7u);
}

TEST_F(Extraction, NamesDifferingOnlyInLetterCaseRefuseThePackage) {
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {"Readme.txt", "README.TXT"},
      {"Dir/a.txt", "dir/b.txt"},        // through the directory they imply
      {"\xc3\x84.txt", "\xc3\xa4.txt"},  // A and a with diaeresis
  };
  for (const auto& pair : pairs) {
    SCOPED_TRACE(pair.second);
    EXPECT_FALSE(Extract({{pair.first, "1"}, {pair.second, "2"}}));
    EXPECT_EQ(output.out, "refusing entry whose name differs from " +
                              pair.first.substr(0, pair.first.find('/')) +
                              " only in letter case: " + pair.second + "\n");
    EXPECT_FALSE(Exists(dest));
  }
  // Thousands of paths apart, as well.
  std::vector<Entry> many = {{"Early/x.txt", "1"}};
  for (int i = 0; i < 3000; ++i) many.push_back({"f" + std::to_string(i), ""});
  many.push_back({"early/y.txt", "2"});
  EXPECT_FALSE(Extract(many));
  EXPECT_EQ(output.out,
            "refusing entry whose name differs from Early only in letter case: early/y.txt\n");
}

TEST_F(Extraction, LegacyChineseNamesWithoutTheUtf8FlagAreReadAsGbk) {
  const std::string gbk = "\xb8\xfc\xd0\xc2/\xcb\xb5\xc3\xf7.txt";  // 更新/说明.txt
  const std::string utf8 = "\xe6\x9b\xb4\xe6\x96\xb0/\xe8\xaf\xb4\xe6\x98\x8e.txt";  // the same
  Entry flagged{gbk, "flagged"};
  flagged.utf8_flag = true;  // claims UTF-8 and is not: not created
  EXPECT_TRUE(Extract({{gbk, "text"}, flagged}));
  EXPECT_EQ(output.out, Extracting(utf8) + "error opening " + dest + "/" + gbk + "\n");
  EXPECT_EQ(Snapshot(dest), (Tree{{"\xe6\x9b\xb4\xe6\x96\xb0", "<dir>"}, {utf8, "text"}}));
}

TEST_F(Extraction, APackageLargerThanTheFreeSpaceIsRefusedBeforeExtraction) {
  struct SmallVolume {
    explicit SmallVolume(const std::string& at) : path(at) {
      MakeDirs(path);
      mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, "size=4m") == 0;
    }
    ~SmallVolume() {
      if (mounted) umount(path.c_str());
    }
    std::string path;
    bool mounted;
  } volume(sandbox / "small");
  ASSERT_TRUE(volume.mounted) << "mounting a tmpfs needs root";
  WriteZip(archive, {{"small.txt", "s"}, {"zeros.bin", std::string(6 << 20, '\0')}});
  EXPECT_FALSE(ExtractInto(volume.path + "/dest"));
  EXPECT_EQ(output.out, "not enough free space for the package in " + volume.path +
                            "/dest/: 15 MiB needed, 4 MiB free\n");
  EXPECT_EQ(Snapshot(volume.path), Tree{});
}

TEST_P(ExtractionBy, SizesThatDisagreeOrDataPastItsDeclaredSizeStopTheExtraction) {
  const std::string data = RandomBytes(30000, 5) + std::string(30000, 'x');
  WriteZip(archive, {{"first.txt", "1"}, {"x.bin", data}, {"later.txt", "never"}});
  const std::string good = ReadFile(archive);
  // The uncompressed size of x.bin: 22 bytes into its local header (the
  // name's first copy, 30 bytes in), 24 into its central one (46 bytes in).
  const size_t local = good.find("x.bin") - 30, central = good.find("x.bin", local + 31) - 46;
  auto with_size = [&](size_t at, uint32_t size, std::string zip) {
    for (int i = 0; i < 4; ++i) zip[at + i] = static_cast<char>(size >> (8 * i));
    return zip;
  };
  const uint32_t size = static_cast<uint32_t>(data.size());
  const std::string mismatch = with_size(local + 22, size + 1, good);
  const std::string longer =
      with_size(central + 24, size - 100, with_size(local + 22, size - 100, good));
  const std::string shorter =
      with_size(central + 24, size + 100, with_size(local + 22, size + 100, good));
  const std::string x = dest + "/x.bin";
  for (const auto& [zip, lines] : std::vector<std::pair<std::string, std::string>>{
           {mismatch,
            "refusing entry whose local header disagrees with the central directory: " + x},
           {longer,
            Extracting("x.bin") + "refusing entry whose data runs past its declared size: " + x},
           {shorter, Extracting("x.bin") +
                         "refusing entry whose data ends before its declared size: " + x}}) {
    SCOPED_TRACE(lines);
    RemoveTree(dest);
    WriteFile(archive, zip);
    EXPECT_FALSE(ExtractInto(dest));
    EXPECT_EQ(output.out, Extracting("first.txt") + lines + "\n");
    EXPECT_FALSE(Exists(dest + "/later.txt"));
  }
}

TEST_P(ExtractionBy, AFailingEntryInTheSecondSharePrintsItsLineAndNothingAfterIt) {
  // The first large entry makes the first share; the second share begins
  // with the other.
  const std::string big = RandomBytes(200000, 11), small = RandomBytes(30000, 12);
  Entry bad{"s/bad.bin", small};
  bad.wrong_crc = true;
  EXPECT_FALSE(Extract({{"f/one.bin", big},
                        {"f/two.bin", big},
                        {"s/ok.bin", small},
                        bad,
                        {"s/never.bin", small},
                        {"t/never.txt", "never"}}));
  EXPECT_EQ(output.out, Extracting("f/one.bin") + Extracting("f/two.bin") + Extracting("s/ok.bin") +
                            Extracting("s/bad.bin") +
                            "error -105 with zipfile in unzCloseCurrentFile\n");
  EXPECT_EQ(Snapshot(dest), (Tree{{"f", "<dir>"},
                                  {"f/one.bin", big},
                                  {"f/two.bin", big},
                                  {"s", "<dir>"},
                                  {"s/ok.bin", small},
                                  {"s/bad.bin", small},
                                  {"t", "<dir>"}}));
}

TEST_P(ExtractionBy, APackageWhoseEntriesAreAllInOneDirectory) {
  std::vector<Entry> entries;
  Tree expected{{"all", "<dir>"}};
  std::string lines;
  for (int i = 0; i < 12; ++i) {
    const std::string name = "all/f" + std::to_string(i) + ".bin";
    entries.push_back({name, RandomBytes(1000 * (i % 4) + 10, i + 1)});
    expected[name] = entries.back().data;
    lines += Extracting(name);
  }
  EXPECT_TRUE(Extract(entries));
  EXPECT_EQ(output.out, lines);
  EXPECT_EQ(Snapshot(dest), expected);
}

TEST_P(ExtractionBy, NamesBeyondTwoHundredFiftySixBytesAreExtracted) {
  std::string deep;
  for (int i = 0; i < 6; ++i) deep += std::string(60, static_cast<char>('a' + i)) + "/";
  deep += std::string(200, 'f') + ".txt";
  const std::string too_long = std::string(300, 'n') + ".txt";
  EXPECT_TRUE(Extract({{deep, "deep"}, {too_long, "x"}, {"after.txt", "after"}}));
  EXPECT_EQ(output.out, Extracting(deep) + "error opening " + dest + "/" + too_long + "\n" +
                            Extracting("after.txt"));
  EXPECT_EQ(ReadFile(dest + "/" + deep), "deep");
  EXPECT_FALSE(Exists(dest + "/" + too_long));
}

TEST_P(ExtractionBy, UnixPermissionBitsAreAppliedWhereTheArchiveHasThem) {
  Entry tool{"tool", "#!/bin/sh\n"};
  tool.unix_mode = 0755;
  Entry secret{"secret", "s"};
  secret.unix_mode = 0600;
  EXPECT_TRUE(Extract({tool, secret, {"plain", "p"}}));
  struct stat st;
  ASSERT_EQ(stat((dest + "/tool").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  ASSERT_EQ(stat((dest + "/secret").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  const mode_t mask = umask(0);
  umask(mask);
  ASSERT_EQ(stat((dest + "/plain").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u & ~mask);
}

TEST_P(ExtractionBy, Zip64ArchivesAndDataDescriptorsFromInfoZip) {
  const std::string src = sandbox / "src";
  MakeDirs(src + "/d");
  WriteFile(src + "/a.txt", std::string(100000, 'a'));
  WriteFile(src + "/d/b.bin", RandomBytes(70000, 9));
  const Tree expected = Snapshot(src);
  // -fz: Zip64 records throughout; writing to a pipe: data descriptors.
  const std::string zip64 = sandbox / "zip64.zip", streamed = sandbox / "streamed.zip";
  for (const std::string& command :
       {"zip -q -r -fz " + zip64 + " a.txt d", "zip -q -r - a.txt d | cat > " + streamed}) {
    ASSERT_EQ(RunProgram({"/bin/sh", "-c", command}, src).exit_code, 0) << command;
  }
  ASSERT_NE(ReadFile(zip64).find("PK\x06\x06"), std::string::npos);     // Zip64 end record
  ASSERT_NE(ReadFile(streamed).find("PK\x07\x08"), std::string::npos);  // data descriptor

  for (const std::string& zip : {zip64, streamed}) {
    SCOPED_TRACE(zip);
    RemoveTree(dest);
    CopyFile(zip, archive);
    EXPECT_TRUE(ExtractInto(dest));
    EXPECT_EQ(Snapshot(dest), expected);
  }
  Entry flagged{"big64.txt", std::string(300000, 'z')};
  flagged.zip64 = true;
  RemoveTree(dest);
  EXPECT_TRUE(Extract({flagged}));
  EXPECT_EQ(Snapshot(dest), (Tree{{"big64.txt", flagged.data}}));
}

// The directory and time steps on their own.

TEST_F(Extraction, MakeDirectoryPathCreatesEveryMissingLevel) {
  MakeDirs(dest);
  Output out = Capture([&] { EXPECT_EQ(MakeDirectoryPath(dest + "/a/b/"), 1); });
  EXPECT_TRUE(IsDir(dest + "/a/b"));
  EXPECT_EQ(MakeDirectoryPath(dest + "/a/b"), 1);  // all there already
  EXPECT_EQ(MakeDirectoryPath(""), 0);
  EXPECT_EQ(out.out, "");

  // A level whose parent vanished behind a dangling link.
  ASSERT_EQ(symlink((dest + "/gone").c_str(), (dest + "/link").c_str()), 0);
  out = Capture([&] { EXPECT_EQ(MakeDirectoryPath(dest + "/link/x/y"), 0); });
  EXPECT_EQ(out.out, "couldn't create directory " + dest + "/link/x\n");
  EXPECT_FALSE(Exists(dest + "/gone"));
}

TEST_F(Extraction, MakeDirectoryMakesOneLevelAndTellsWhyNot) {
  MakeDirs(dest);
  MakeDirResult reason;
  EXPECT_FALSE(MakeDirectory(dest + "/missing/x", &reason));
  EXPECT_EQ(reason, MakeDirResult::kParentMissing);
  EXPECT_TRUE(MakeDirectory(dest + "/one"));
  EXPECT_FALSE(MakeDirectory(dest + "/one", &reason));
  EXPECT_EQ(reason, MakeDirResult::kExists);
  EXPECT_FALSE(MakeDirectory(dest + "/bad\xff"));
  EXPECT_EQ(Snapshot(dest), (Tree{{"one", "<dir>"}}));
}

TEST_F(Extraction, SetEntryFileTimeSetsLastWriteAndKeepsLastAccess) {
  MakeDirs(dest);
  const std::string f = dest + "/f";
  WriteFile(f, "f");
  struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, f.c_str(), times, 0), 0);
  SetEntryFileTime(f, kDosTime);
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, kEntryTimeUtc);
  EXPECT_EQ(st.st_atime, 1000000000);

  // Month 0 is no date: the times stay.
  SetEntryFileTime(f, kDosTime & ~(0xFu << 21));
  EXPECT_EQ(ModificationTime(f), kEntryTimeUtc);
}

// The whole step as the update sequence runs it: a program beside its own
// update/ directory.

namespace {

struct Installation {
  TempDir dir;
  TempDir outside;
  const std::string unzip = dir / "update/unzip";
  Installation() {
    CopyFile(EXTRACT_PACKAGE_EXE, dir / "extract_package");
    MakeDirs(dir / "update");
    WriteFile(outside / "keep.txt", "keep");
  }
  RunResult Run() { return RunProgram({dir / "extract_package"}, dir.path()); }
};

}  // namespace

TEST(ExtractPackage, InstallsExactlyThisPackageAndNeverFollowsLinksWhenClearing) {
  Installation inst;
  WriteZip(inst.dir / "update/update.zip", {{"tesko.exe", "new"}, {"res/a.txt", "a"}});
  MakeDirs(inst.unzip + "/old");
  WriteFile(inst.unzip + "/old/stale.txt", "stale");
  WriteFile(inst.unzip + "/tesko.exe", "from an earlier run");
  ASSERT_EQ(symlink(inst.outside.path().c_str(), (inst.unzip + "/old/link").c_str()), 0);
  const Tree outside = Snapshot(inst.outside.path());

  const RunResult r = inst.Run();
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(Snapshot(inst.unzip),
            (Tree{{"tesko.exe", "new"}, {"res", "<dir>"}, {"res/a.txt", "a"}}));
  EXPECT_EQ(Snapshot(inst.outside.path()), outside);
}

TEST(ExtractPackage, AnUnzipDirectoryThatIsALinkIsReplacedNotFollowed) {
  Installation inst;
  WriteZip(inst.dir / "update/update.zip", {{"f.txt", "f"}});
  ASSERT_EQ(symlink(inst.outside.path().c_str(), inst.unzip.c_str()), 0);
  const Tree outside = Snapshot(inst.outside.path());
  EXPECT_EQ(inst.Run().exit_code, 0);
  EXPECT_TRUE(IsDir(inst.unzip));
  EXPECT_EQ(Snapshot(inst.unzip), (Tree{{"f.txt", "f"}}));
  EXPECT_EQ(Snapshot(inst.outside.path()), outside);
}

TEST(ExtractPackage, ReportsAMissingOrIncompletePackage) {
  Installation inst;
  MakeDirs(inst.unzip);
  WriteFile(inst.unzip + "/stale.txt", "stale");
  RunResult r = inst.Run();
  EXPECT_NE(r.exit_code, 0);
  EXPECT_EQ(r.err, "Cannot open " + (inst.dir / "update/update.zip") + "\n");
  EXPECT_EQ(Snapshot(inst.unzip), Tree{});

  WriteZip(inst.dir / "update/update.zip", {{"a.txt", "a"}, {"../escape.txt", "x"}});
  r = inst.Run();
  EXPECT_NE(r.exit_code, 0);
  EXPECT_FALSE(Exists(inst.dir / "update/escape.txt"));

  // Every entry visited, but one could not be written: not a whole package.
  WriteZip(inst.dir / "update/update.zip", {{"a.txt", "a"}, {"bad\xff.txt", "x"}});
  r = inst.Run();
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.out.find("package incomplete (1 entries not extracted): nothing is installed\n"),
            std::string::npos)
      << r.out;
}
