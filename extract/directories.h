// Creation of the directories above a file, deepest first, with a memo of the
// directories known to exist (the user's profile folder first).
#pragma once

#include <cstddef>

constexpr size_t kDirectoryMemoCapacity = 1024;
constexpr size_t kHashedMemoCapacity = 65536;

/// How the memo finds a directory. `listed` compares the path with every entry
/// in turn and remembers up to kDirectoryMemoCapacity directories. `hashed`
/// finds it through a hash index and remembers up to kHashedMemoCapacity: a
/// tree of thousands of directories then costs neither a scan of the whole
/// memo for every file nor, past the first thousand, a creation call for every
/// file in them. Both give the same answers.
enum class DirectoryMemo { listed, hashed };

/// Chooses the memo before the first directory is looked up; a memo already in
/// use, or a hashed one that cannot have its memory, stays listed.
void use_directory_memo(DirectoryMemo memo);

/// Makes sure every directory above `file_path` exists. Tries the file's own
/// directory first and climbs only while creation fails, then creates on the
/// way back down. Returns whether the containing directory exists afterwards.
/// Works iteratively, so any depth that fits a path buffer is safe.
bool create_containing_directories(const char16_t* file_path);

/// Creates or confirms one directory. True when it exists afterwards (created,
/// already there, remembered, or a bare drive designator such as "C:"). On its
/// first call it remembers the profile folder, when "{HOME}" can be expanded.
bool ensure_directory(const char16_t* path);

/// Empties the memo and makes it listed again. The launcher never forgets a
/// directory; the tests start each case from an empty, listed memo.
void forget_known_directories();
