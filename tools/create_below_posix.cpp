#include "tools/create_below.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/failure.h"

namespace {

// A descriptor closed on every way out.
struct Folder {
  int fd;
  ~Folder() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

FILE* create_below(const std::filesystem::path& dir, const std::vector<std::filesystem::path>& parts, bool replace,
                   bool program, const std::string& shown) {
  auto fail = [&](const std::string& why) -> FILE* { throw Failure(shown + ": " + why); };
  // Each folder is opened from the one above it, never by a path, so a link
  // planted anywhere between is met, and refused, where it stands.
  Folder at{open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (at.fd < 0) return fail(dir.string() + ": " + strerror(errno));
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    const char* part = parts[i].c_str();
    if (mkdirat(at.fd, part, 0777) != 0 && errno != EEXIST) return fail(strerror(errno));
    int next = openat(at.fd, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && (errno == ELOOP || errno == ENOTDIR))
      return fail(parts[i].string() + " in its path is a symbolic link or a file, not a folder");
    if (next < 0) return fail(strerror(errno));
    close(at.fd);
    at.fd = next;
  }
  const char* leaf = parts.back().c_str();
  mode_t mode = program ? 0777 : 0666;
  // O_EXCL creates a new file or fails: it never writes through a link.
  int fd = openat(at.fd, leaf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0 && errno == EEXIST) {
    if (!replace) return fail("exists already (--force replaces it)");
    struct stat st;
    if (fstatat(at.fd, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) return fail("a folder is in its place");
    if (unlinkat(at.fd, leaf, 0) != 0) return fail(strerror(errno));
    fd = openat(at.fd, leaf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  }
  if (fd < 0) return fail(strerror(errno));
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    close(fd);
    return fail(strerror(errno));
  }
  return file;
}
