#include "extract/directories.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "templates/expand.h"

namespace {

char16_t* known[kDirectoryMemoCapacity];
int known_count;
bool home_looked_up;

void remember(const char16_t* path) {
  if (known_count >= int(kDirectoryMemoCapacity)) return;
  size_t bytes = (wide_length(path) + 1) * sizeof(char16_t);
  auto* copy = static_cast<char16_t*>(malloc(bytes));
  if (copy == nullptr) return;  // not remembering is sound: the next call asks again
  memcpy(copy, path, bytes);
  known[known_count++] = copy;
}

// The last separator before `end`, never at position 0; 0 when there is none.
size_t separator_before(const char16_t* path, size_t end) {
  for (size_t i = end; i-- > 1;)
    if (path[i] == platform::path_separator) return i;
  return 0;
}

size_t separator_after(const char16_t* path, size_t start) {
  for (size_t i = start + 1; path[i] != 0; ++i)
    if (path[i] == platform::path_separator) return i;
  return 0;
}

}  // namespace

bool ensure_directory(const char16_t* path) {
  // The profile folder only spares a call for a directory known to exist. A
  // target elsewhere must not depend on it: an account without a profile (a
  // service, a user without a password entry or HOME) creates without it.
  if (!home_looked_up) {
    home_looked_up = true;
    char16_t home[kPathCapacity];
    if (expand_target_spec(home, u"{HOME}", kPathCapacity)) remember(home);
  }
  for (int i = 0; i < known_count; ++i)
    if (wide_equal(known[i], path)) return true;
  if (path[0] != 0 && path[1] == u':' && path[2] == 0) return true;
  platform::DirectoryResult result = platform::create_directory(path);
  if (result == platform::DirectoryResult::failed) return false;
  remember(path);
  return true;
}

bool create_containing_directories(const char16_t* file_path) {
  // Each level is the file path cut at one of its separators, so the climb and
  // the way back down move between separators of one copy instead of recursing.
  char16_t path[kPathCapacity];
  if (!wide_copy(path, kPathCapacity, file_path)) return false;
  size_t length = wide_length(path);

  size_t cut = separator_before(path, length);
  if (cut == 0) return true;
  size_t deepest = cut;
  size_t failed_levels = 0;
  for (;;) {
    path[cut] = 0;
    bool exists = ensure_directory(path);
    path[cut] = platform::path_separator;
    if (exists) {
      if (failed_levels == 0) return true;
      cut = separator_after(path, cut);  // back down to the shallowest failed level
      break;
    }
    ++failed_levels;
    size_t above = separator_before(path, cut);
    if (above == 0) break;  // the shallowest failed level has no parent to make
    cut = above;
  }
  bool exists = false;
  for (;;) {
    path[cut] = 0;
    exists = ensure_directory(path);
    path[cut] = platform::path_separator;
    if (cut == deepest) return exists;
    cut = separator_after(path, cut);
  }
}

void forget_known_directories() {
  for (int i = 0; i < known_count; ++i) free(known[i]);
  known_count = 0;
  home_looked_up = false;
}
