#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstring>

#include "tools/create_below.h"
#include "tools/failure.h"
#include "tools/host_win32.h"

namespace {

const wchar_t* w(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

std::string system_reason() { return strerror(errno_of(GetLastError())); }

}  // namespace

// Windows opens nothing relative to a folder handle here, so each folder is
// checked by its attributes after it is made: a link or a junction (a reparse
// point) or a file where a folder belongs is refused. The file itself is only
// ever created new, so no link in its place is written through.
FILE* create_below(const std::filesystem::path& dir, const std::vector<std::filesystem::path>& parts, bool replace,
                   bool, const std::string& shown) {
  auto fail = [&](const std::string& why) -> FILE* { throw Failure(shown + ": " + why); };
  std::string path = dir.u8string();
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    path += "\\" + parts[i].u8string();
    std::u16string folder = long_path(path);
    if (!CreateDirectoryW(w(folder), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return fail(system_reason());
    DWORD attributes = GetFileAttributesW(w(folder));
    if (attributes == INVALID_FILE_ATTRIBUTES) return fail(system_reason());
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
      return fail(parts[i].u8string() + " in its path is a symbolic link or a file, not a folder");
  }
  std::u16string leaf = long_path(path + "\\" + parts.back().u8string());
  auto create = [&] {
    return CreateFileW(w(leaf), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  };
  HANDLE file = create();
  if (file == INVALID_HANDLE_VALUE && (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS)) {
    if (!replace) return fail("exists already (--force replaces it)");
    DWORD attributes = GetFileAttributesW(w(leaf));
    bool link = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (folder && !link) return fail("a folder is in its place");
    // The link itself goes, never what it leads to.
    if (!(folder ? RemoveDirectoryW(w(leaf)) : DeleteFileW(w(leaf)))) return fail(system_reason());
    file = create();
  }
  if (file == INVALID_HANDLE_VALUE) return fail(system_reason());
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(file);
    return fail(strerror(errno));
  }
  FILE* stream = _fdopen(fd, "wb");
  if (stream == nullptr) {
    _close(fd);
    return fail(strerror(errno));
  }
  return stream;
}
