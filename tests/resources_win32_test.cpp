// What updater.exe carries besides its code: the application manifest and
// the two icon groups, read back the way the shell reads them.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

std::wstring ExePath() {
  std::string s = UPDATER_EXE;
  // The build hands over a Unix path; Wine reaches it through drive Z:.
  if (!s.empty() && s[0] == '/') s = "Z:" + s;
  return std::wstring(s.begin(), s.end());
}

struct Module {
  HMODULE h = LoadLibraryExW(ExePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ~Module() {
    if (h) FreeLibrary(h);
  }
};

std::string Resource(HMODULE module, LPCWSTR name, LPCWSTR type) {
  HRSRC info = FindResourceW(module, name, type);
  if (!info) return std::string();
  HGLOBAL loaded = LoadResource(module, info);
  const char* data = static_cast<const char*>(LockResource(loaded));
  return data ? std::string(data, SizeofResource(module, info)) : std::string();
}

BOOL CALLBACK CollectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR names) {
  auto* out = reinterpret_cast<std::vector<std::wstring>*>(names);
  out->push_back(IS_INTRESOURCE(name) ? L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(name))
                                      : std::wstring(name));
  return TRUE;
}

}  // namespace

TEST(Resources, ManifestAsksForTheInvokersLevelAndCommonControlsSix) {
  Module m;
  ASSERT_NE(m.h, nullptr);
  const std::string manifest = Resource(m.h, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
  EXPECT_NE(manifest.find("<ws2:longPathAware>true</ws2:longPathAware>"), std::string::npos)
      << manifest;
  EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
            std::string::npos)
      << manifest;
}

TEST(Resources, TwoIconGroupsOfNineImagesEach) {
  Module m;
  ASSERT_NE(m.h, nullptr);
  std::vector<std::wstring> groups;
  EnumResourceNamesW(m.h, MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */, CollectName,
                     reinterpret_cast<LONG_PTR>(&groups));
  ASSERT_EQ(groups.size(), 2u);
  for (const auto& name : groups) {
    const std::string dir = Resource(m.h, name.c_str(), MAKEINTRESOURCEW(14));
    ASSERT_GE(dir.size(), 6u);
    const unsigned count = static_cast<unsigned char>(dir[4]) | static_cast<unsigned char>(dir[5])
                                                                    << 8;
    EXPECT_EQ(count, 9u);
    // Each entry names an icon image that is there and loads.
    for (unsigned i = 0; i < count; ++i) {
      const size_t entry = 6 + i * 14;
      ASSERT_LE(entry + 14, dir.size());
      const unsigned id = static_cast<unsigned char>(dir[entry + 12]) |
                          static_cast<unsigned char>(dir[entry + 13]) << 8;
      EXPECT_FALSE(Resource(m.h, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(3)).empty()) << id;
    }
  }
  // The one the shell shows, and what a window asks for at both sizes.
  HICON big = static_cast<HICON>(LoadImageW(m.h, groups[0].c_str(), IMAGE_ICON, 32, 32, 0));
  HICON small = static_cast<HICON>(LoadImageW(m.h, groups[0].c_str(), IMAGE_ICON, 16, 16, 0));
  EXPECT_NE(big, nullptr);
  EXPECT_NE(small, nullptr);
  if (big) DestroyIcon(big);
  if (small) DestroyIcon(small);
}
