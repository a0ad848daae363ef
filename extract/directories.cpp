#include "extract/directories.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "templates/expand.h"

namespace {

char16_t* listed[kDirectoryMemoCapacity];
char16_t** known = listed;
size_t capacity = kDirectoryMemoCapacity;
int known_count;
bool home_looked_up;

// The hashed memo's index, open addressing at most half full: in the slot a
// path hashes to, or the next ones, its entry's number plus one; 0 is free.
// Null while the memo is listed.
uint32_t* slots;
constexpr size_t kSlotMask = 2 * kHashedMemoCapacity - 1;

size_t slot_of(const char16_t* path) {
  uint32_t hash = 2166136261u;  // FNV-1a
  for (; *path != 0; ++path) hash = (hash ^ *path) * 16777619u;
  return hash & kSlotMask;
}

void index_entry(int number) {
  size_t s = slot_of(known[number]);
  while (slots[s] != 0) s = (s + 1) & kSlotMask;
  slots[s] = uint32_t(number + 1);
}

bool is_known(const char16_t* path) {
  if (slots == nullptr) {
    for (int i = 0; i < known_count; ++i)
      if (wide_equal(known[i], path)) return true;
    return false;
  }
  for (size_t s = slot_of(path); slots[s] != 0; s = (s + 1) & kSlotMask)
    if (wide_equal(known[slots[s] - 1], path)) return true;
  return false;
}

void remember(const char16_t* path) {
  if (size_t(known_count) >= capacity) return;
  size_t bytes = (wide_length(path) + 1) * sizeof(char16_t);
  auto* copy = static_cast<char16_t*>(malloc(bytes));
  if (copy == nullptr) return;  // not remembering is sound: the next call asks again
  memcpy(copy, path, bytes);
  known[known_count] = copy;
  if (slots != nullptr) index_entry(known_count);
  ++known_count;
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
  if (is_known(path)) return true;
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

void use_directory_memo(DirectoryMemo memo) {
  if (memo == DirectoryMemo::listed || slots != nullptr || known_count != 0) return;
  auto* entries = static_cast<char16_t**>(calloc(kHashedMemoCapacity, sizeof(char16_t*)));
  auto* index = static_cast<uint32_t*>(calloc(kSlotMask + 1, sizeof(uint32_t)));
  if (entries == nullptr || index == nullptr) {
    free(entries);
    free(index);
    return;
  }
  known = entries;
  slots = index;
  capacity = kHashedMemoCapacity;
}

void forget_known_directories() {
  for (int i = 0; i < known_count; ++i) free(known[i]);
  known_count = 0;
  home_looked_up = false;
  if (slots != nullptr) {
    free(known);
    free(slots);
    slots = nullptr;
    known = listed;
    capacity = kDirectoryMemoCapacity;
  }
}
