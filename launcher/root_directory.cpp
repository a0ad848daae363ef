#include "launcher/launch.h"

#include "platform/platform.h"

// A root is no application's own folder: unpacking there could overwrite, or
// make writable, files of anyone's ("/", "C:\", "\\server\share", "\\?\C:\").
bool is_root_directory(const char16_t* path) {
  const char16_t sep = platform::path_separator;
  size_t end = wide_length(path);
  while (end > 0 && path[end - 1] == sep) --end;
  size_t at = 0;
  auto starts = [&](const char16_t* prefix) {
    size_t n = wide_length(prefix);
    if (at + n > end) return false;
    for (size_t i = 0; i < n; ++i)
      if (path[at + i] != (prefix[i] == u'\\' ? sep : prefix[i])) return false;
    return true;
  };
  // Components left after `at`, up to `end`.
  auto components = [&]() {
    size_t count = 0;
    for (size_t i = at; i < end; ++i)
      if (path[i] != sep && (i == at || path[i - 1] == sep)) ++count;
    return count;
  };
  if (sep == u'/') return components() == 0;
  if (starts(u"\\\\?\\") || starts(u"\\\\.\\")) {
    at += 4;
    if (starts(u"UNC\\")) return at += 4, components() <= 2;
  } else if (starts(u"\\\\")) {
    return components() <= 2;
  }
  if (end - at >= 2 && path[at + 1] == u':') at += 2;
  return components() == 0;
}
