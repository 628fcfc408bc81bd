#include <gtest/gtest.h>
#include <unistd.h>

#include "basedir.h"
#include "path.h"
#include "process.h"

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
