// The text conversions of the platform layer, the same on every system:
// built into the native and the Windows platform tests.

#include <gtest/gtest.h>

#include <string>

#include "text.h"

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
