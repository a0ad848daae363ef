// The writer on a Windows host. Names are converted to UTF-16 here and only
// here, made absolute and given the \\?\ prefix so that no path is cut at
// MAX_PATH; system errors are told in the C library's words so that a refusal
// reads the same as on Linux.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/utf.h"
#include "tools/failure.h"
#include "tools/host.h"
#include "tools/host_win32.h"

namespace {

std::u16string utf16(const std::string& text) {
  std::vector<char16_t> wide(text.size() + 1);
  long n = utf8_to_utf16(text.data(), text.size(), wide.data(), wide.size());
  if (n < 0) throw Failure(text + ": not valid UTF-8");
  return std::u16string(wide.data(), size_t(n));
}

std::string utf8(const std::u16string& text) {
  std::string out;
  if (!utf16_to_utf8(text.c_str(), &out)) {
    std::vector<char> shown(4 * text.size() + 1);
    utf16_to_utf8_lossy(text.c_str(), shown.data(), shown.size());
    throw Failure(std::string(shown.data()) + ": name is not valid UTF-16");
  }
  return out;
}

const wchar_t* w(const std::u16string& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

}  // namespace

std::u16string long_path(const std::string& path) {
  std::u16string given = utf16(path);
  DWORD size = GetFullPathNameW(w(given), 0, nullptr, nullptr);
  if (size == 0) return given;
  std::u16string full(size, u'\0');
  size = GetFullPathNameW(w(given), size, reinterpret_cast<wchar_t*>(full.data()), nullptr);
  full.resize(size);
  if (full.rfind(u"\\\\?\\", 0) == 0) return full;
  if (full.rfind(u"\\\\", 0) == 0) return u"\\\\?\\UNC\\" + full.substr(2);
  return u"\\\\?\\" + full;
}

int errno_of(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    default:
      return EIO;
  }
}

namespace {

// Follows links, as opening a file for reading does.
HANDLE open_for_facts(const std::u16string& path) {
  return CreateFileW(w(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

void walk(const std::u16string& dir, const std::string& relative_dir,
          const std::function<void(const std::string&, const std::string&)>& found, const std::string& root,
          bool enter = true) {
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileExW(w(dir + u"\\*"), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return;  // not even . and ..: an empty drive root
    throw Failure(root + ": " + strerror(errno_of(error)));
  }
  struct Closer {
    HANDLE h;
    ~Closer() { FindClose(h); }
  } closer{find};
  do {
    std::u16string name(reinterpret_cast<const char16_t*>(entry.cFileName));
    if (name == u"." || name == u"..") continue;
    std::string relative = (relative_dir.empty() ? "" : relative_dir + "/") + utf8(name);
    // A folder link (symbolic link or junction) is a name like a link to a
    // folder on Linux: reported, not entered.
    bool folder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                  (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    if (!folder) found(relative, root + "/" + relative);
    else if (enter) walk(dir + u"\\" + name, relative, found, root);
  } while (FindNextFileW(find, &entry));
  DWORD error = GetLastError();
  if (error != ERROR_NO_MORE_FILES) throw Failure(root + ": " + strerror(errno_of(error)));
}

// The console's own UTF-16 output, when the handle is a console.
bool write_console(DWORD which, const std::string& text) {
  HANDLE handle = GetStdHandle(which);
  DWORD mode;
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr || !GetConsoleMode(handle, &mode)) return false;
  std::vector<char16_t> wide(text.size() + 1);
  long n = utf8_to_utf16(text.data(), text.size(), wide.data(), wide.size());
  if (n < 0) return false;
  DWORD written;
  return WriteConsoleW(handle, wide.data(), DWORD(n), &written, nullptr) != 0;
}

}  // namespace

// Windows hands the arguments over in UTF-16; the writer takes them in UTF-8.
int wmain(int argc, wchar_t** argv) {
  // Lines end in '\n' as on Linux when the output goes to a file or a pipe.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    std::string arg;
    if (!utf16_to_utf8(reinterpret_cast<const char16_t*>(argv[i]), &arg)) {
      host_print(true, "mordax-pack: argument " + std::to_string(i) + " is not valid UTF-16\n");
      return 1;
    }
    args.push_back(std::move(arg));
  }
  std::vector<char*> pointers;
  for (std::string& arg : args) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  return writer_main(argc, pointers.data());
}

FILE* host_open(const std::string& path, const char* mode) {
  std::u16string wide_mode(mode, mode + strlen(mode));
  return _wfopen(w(long_path(path)), w(wide_mode));
}

bool host_replace(const std::string& from, const std::string& to) {
  if (MoveFileExW(w(long_path(from)), w(long_path(to)), MOVEFILE_REPLACE_EXISTING)) return true;
  errno = errno_of(GetLastError());
  return false;
}

void host_remove(const std::string& path) { DeleteFileW(w(long_path(path))); }

std::string host_beside_program(const std::string& name) {
  std::u16string self(32768, u'\0');
  DWORD n = GetModuleFileNameW(nullptr, reinterpret_cast<wchar_t*>(self.data()), DWORD(self.size()));
  if (n == 0 || n >= self.size()) return "";
  self.resize(n);
  size_t slash = self.find_last_of(u"\\/");
  if (slash == std::u16string::npos) return "";
  std::string dir;
  if (!utf16_to_utf8(self.substr(0, slash + 1).c_str(), &dir)) return "";
  return dir + name;
}

bool host_same_file(const std::string& a, const std::string& b) {
  std::u16string pa = long_path(a), pb = long_path(b);
  HANDLE ha = open_for_facts(pa), hb = open_for_facts(pb);
  bool same = false;
  BY_HANDLE_FILE_INFORMATION ia, ib;
  if (ha != INVALID_HANDLE_VALUE && hb != INVALID_HANDLE_VALUE && GetFileInformationByHandle(ha, &ia) &&
      GetFileInformationByHandle(hb, &ib))
    same = ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
           ia.nFileIndexLow == ib.nFileIndexLow;
  else  // a name not there yet: the same path, as Windows compares names
    same = CompareStringOrdinal(w(pa), -1, w(pb), -1, TRUE) == CSTR_EQUAL;
  if (ha != INVALID_HANDLE_VALUE) CloseHandle(ha);
  if (hb != INVALID_HANDLE_VALUE) CloseHandle(hb);
  return same;
}

bool host_is_directory(const std::string& path) {
  HANDLE h = open_for_facts(long_path(path));
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool directory = GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  CloseHandle(h);
  return directory;
}

std::string host_absolute(const std::string& path) {
  std::u16string full = long_path(path);
  while (full.size() > 7 && full.back() == u'\\') full.pop_back();
  return utf8(full);
}

bool host_make_directories(const std::string& path) {
  std::u16string full = long_path(path);
  // Each folder from the first below the root (\\?\C:\ or \\?\UNC\server\share\).
  size_t at = 6;
  if (full.rfind(u"\\\\?\\UNC\\", 0) == 0) {
    at = full.find(u'\\', 8);
    if (at != std::u16string::npos) at = full.find(u'\\', at + 1);
  }
  while (at != std::u16string::npos) {
    at = full.find(u'\\', at + 1);
    std::u16string folder = full.substr(0, at);
    // A folder already there may still refuse to be made (a read-only volume).
    if (!CreateDirectoryW(w(folder), nullptr)) {
      DWORD error = GetLastError(), attributes = GetFileAttributesW(w(folder));
      if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        errno = errno_of(error);
        return false;
      }
    }
  }
  return host_is_directory(path) || (errno = ENOTDIR, false);
}

FileFacts host_file_facts(const std::string& path) {
  std::u16string wide = long_path(path);
  HANDLE h = open_for_facts(wide);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    // A link (any reparse point) that is there while what it leads to is not.
    DWORD attributes = GetFileAttributesW(w(wide));
    if ((error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
      return {FileFacts::broken_link, 0, ""};
    return {FileFacts::failed, 0, strerror(errno_of(error))};
  }
  BY_HANDLE_FILE_INFORMATION info;
  bool known = GetFileInformationByHandle(h, &info);
  DWORD error = GetLastError();
  bool disk = GetFileType(h) == FILE_TYPE_DISK;
  CloseHandle(h);
  if (!known) return {FileFacts::failed, 0, strerror(errno_of(error))};
  if (!disk || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return {FileFacts::not_regular, 0, ""};
  return {FileFacts::regular, (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow, ""};
}

void host_walk(const std::string& root,
               const std::function<void(const std::string& relative, const std::string& path)>& found) {
  walk(long_path(root), "", found, root);
}

std::vector<std::string> host_list_files(const std::string& dir) {
  std::vector<std::string> names;
  walk(long_path(dir), "", [&](const std::string& name, const std::string&) { names.push_back(name); }, dir, false);
  return names;
}

bool host_stderr_is_terminal() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void host_print(bool to_error, const std::string& text) {
  if (write_console(to_error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE, text)) return;
  FILE* stream = to_error ? stderr : stdout;
  fwrite(text.data(), 1, text.size(), stream);
  fflush(stream);
}

// Windows has no permission that makes a file runnable: an .exe runs as it is.
void host_make_runnable(FILE*, const std::string&) {}
