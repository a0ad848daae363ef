// What the Windows host layer shares with the writer's other Windows-only file.
#pragma once

#include <windows.h>

#include <string>

/// `path` (UTF-8) absolute, with '\' separators and the prefix that lifts the
/// MAX_PATH limit (\\?\C:\... or \\?\UNC\server\share\...). Throws Failure
/// when it is not valid UTF-8.
std::u16string long_path(const std::string& path);

/// The C library's errno for a system error, so that a refusal reads as on Linux.
int errno_of(DWORD error);
