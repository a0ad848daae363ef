// Creation of the directories above a file, deepest first, with a memo of the
// directories known to exist (the user's profile folder first).
#pragma once

#include <cstddef>

constexpr size_t kDirectoryMemoCapacity = 1024;

/// Makes sure every directory above `file_path` exists. Tries the file's own
/// directory first and climbs only while creation fails, then creates on the
/// way back down. Returns whether the containing directory exists afterwards.
/// Works iteratively, so any depth that fits a path buffer is safe.
bool create_containing_directories(const char16_t* file_path);

/// Creates or confirms one directory. True when it exists afterwards (created,
/// already there, remembered, or a bare drive designator such as "C:"). On its
/// first call it remembers the profile folder, when "{HOME}" can be expanded.
bool ensure_directory(const char16_t* path);

/// Empties the memo. The launcher never forgets a directory; the tests start
/// each case from an empty memo.
void forget_known_directories();
