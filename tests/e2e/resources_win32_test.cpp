// The executable settings of a Windows launcher, read back from the built file.
#include <gtest/gtest.h>
#include <windows.h>
#include <imagehlp.h>

#include <string>

#include "tests/e2e/launchers.h"

namespace {

std::wstring wide(const std::string& narrow) { return std::wstring(narrow.begin(), narrow.end()); }

std::wstring launcher_path() { return wide(launchers_folder() + "/probe.exe"); }

// Finished by the writer with strings of its own (see the build).
std::wstring custom_strings_path() { return wide(std::string(E2E_BIN) + "/stub/custom_strings.exe"); }

struct Version {
  DWORD file_ms, file_ls, product_ms, product_ls;
  std::wstring company, product, file_version, product_version;
};

Version read_version(const std::wstring& path) {
  Version v{};
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  EXPECT_GT(size, 0u);
  std::string block(size, '\0');
  if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return v;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && length >= sizeof *fixed) {
    v.file_ms = fixed->dwFileVersionMS;
    v.file_ls = fixed->dwFileVersionLS;
    v.product_ms = fixed->dwProductVersionMS;
    v.product_ls = fixed->dwProductVersionLS;
  }
  auto text = [&](const wchar_t* name) {
    wchar_t* value = nullptr;
    UINT n = 0;
    std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(block.data(), key.c_str(), reinterpret_cast<void**>(&value), &n)) return std::wstring();
    return std::wstring(value);
  };
  v.company = text(L"CompanyName");
  v.product = text(L"ProductName");
  v.file_version = text(L"FileVersion");
  v.product_version = text(L"ProductVersion");
  return v;
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

void expect_version(const std::wstring& path, const Version& want) {
  Version v = read_version(path);
  EXPECT_EQ(v.file_ms, want.file_ms);
  EXPECT_EQ(v.file_ls, want.file_ls);
  EXPECT_EQ(v.product_ms, want.product_ms);
  EXPECT_EQ(v.product_ls, want.product_ls);
  EXPECT_EQ(v.company, want.company);
  EXPECT_EQ(v.product, want.product);
  EXPECT_EQ(v.file_version, want.file_version);
  EXPECT_EQ(v.product_version, want.product_version);
}

TEST(Resources, TheVersionResourceCarriesTheBuildStrings) {
  expect_version(launcher_path(), {(2u << 16) | 3u, 8u << 16, (2u << 16) | 3u, 8u << 16, L"Tarvell", L"Tarvell Pro",
                                   L"2.3.8", L"2.3.8"});
}

TEST(Resources, AFinishedStubCarriesTheStringsGivenToTheWriter) {
  expect_version(custom_strings_path(), {(4u << 16) | 5u, (6u << 16) | 7u, (4u << 16) | 5u, 6u << 16,
                                         L"\u00d6rnek", L"Widget Pro", L"4.5.6.7", L"4.5.6"});
}

// The image checksum in the header is the one the system computes.
TEST(Resources, TheHeaderChecksumIsTheFilesChecksum) {
  for (const std::wstring& path : {launcher_path(), custom_strings_path()}) {
    DWORD in_header = 0, computed = 0;
    ASSERT_EQ(MapFileAndCheckSumW(path.c_str(), &in_header, &computed), DWORD(CHECKSUM_SUCCESS));
    EXPECT_EQ(in_header, computed);
    EXPECT_NE(computed, 0u);
  }
}

}  // namespace
