// A digest of a directory tree, computed the same way by the probe (over the
// files beside it) and by the tests (over the application's source files).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

/// FNV-1a over each file's relative path ('/' separators, then a zero byte) and
/// contents, in path order.
inline std::string tree_digest(std::filesystem::path root) {
#ifdef _WIN32
  // The runtime's own path handling stops at MAX_PATH; the "\\?\" form does not.
  if (root.native().rfind(L"\\\\?\\", 0) != 0) root = L"\\\\?\\" + root.native();
#endif
  std::vector<std::pair<std::string, std::filesystem::path>> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
    if (entry.is_regular_file())
      files.emplace_back(entry.path().lexically_relative(root).generic_u8string(), entry.path());
  std::sort(files.begin(), files.end());
  uint64_t hash = 14695981039346656037ull;
  auto mix = [&](const char* data, size_t n) {
    for (size_t i = 0; i < n; ++i) hash = (hash ^ static_cast<unsigned char>(data[i])) * 1099511628211ull;
  };
  for (const auto& [name, path] : files) {
    mix(name.c_str(), name.size() + 1);
    std::ifstream in(path, std::ios::binary);
    std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    mix(contents.data(), contents.size());
  }
  char text[32];
  snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}
