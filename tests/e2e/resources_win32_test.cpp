// The executable settings of a Windows launcher, read back from the built file.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

std::wstring launcher_path() {
  std::string narrow = std::string(E2E_BIN) + "/probe.exe";
  return std::wstring(narrow.begin(), narrow.end());
}

TEST(Resources, TheManifestDeclaresTheDocumentedSettings) {
  HMODULE image = LoadLibraryExW(launcher_path().c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(image, nullptr);
  HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  ASSERT_NE(found, nullptr);
  const char* data = static_cast<const char*>(LockResource(LoadResource(image, found)));
  std::string manifest(data, SizeofResource(image, found));
  for (const char* expected : {
           "name=\"Mini\" version=\"1.0.0.0\"",
           "level=\"asInvoker\" uiAccess=\"false\"",
           ">true</longPathAware>",
           "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
           "processorArchitecture=\"*\"",
           "language=\"*\"",
           "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  // Vista
           "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
           "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
           "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
           "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10
       })
    EXPECT_NE(manifest.find(expected), std::string::npos) << expected;
  FreeLibrary(image);
}

TEST(Resources, TheVersionResourceCarriesTheBuildStrings) {
  std::wstring path = launcher_path();
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::string block(size, '\0');
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, (2u << 16) | 3u);
  EXPECT_EQ(fixed->dwFileVersionLS, 8u << 16);
  EXPECT_EQ(fixed->dwProductVersionMS, (2u << 16) | 3u);
  EXPECT_EQ(fixed->dwProductVersionLS, 8u << 16);
  auto text = [&](const wchar_t* name) {
    wchar_t* value = nullptr;
    UINT n = 0;
    std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(block.data(), key.c_str(), reinterpret_cast<void**>(&value), &n)) return std::wstring();
    return std::wstring(value);
  };
  EXPECT_EQ(text(L"CompanyName"), L"Tarvell");
  EXPECT_EQ(text(L"ProductName"), L"Tarvell Pro");
  EXPECT_EQ(text(L"FileVersion"), L"2.3.8");
  EXPECT_EQ(text(L"ProductVersion"), L"2.3.8");
}

}  // namespace
