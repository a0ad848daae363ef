// The one place where extraction meets the file system's links.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

/// Creates the file `dir`/`parts`... for writing, making the folders between,
/// and follows no symbolic link below `dir`, wherever one was planted: a link
/// or a file where a folder belongs is refused; a file (or link) in the file's
/// own place is replaced (the link itself, never its target) only when
/// `replace`. A `program` gets execute permission. Throws Failure "<shown>: why".
FILE* create_below(const std::filesystem::path& dir, const std::vector<std::filesystem::path>& parts, bool replace,
                   bool program, const std::string& shown);
