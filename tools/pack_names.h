// Name rules of the payload writer: everything the launcher relies on the writer
// to guarantee about a record name is checked here.
#pragma once

#include <string>

/// Turns a relative path with '/' separators (UTF-8) into a record name (UTF-16
/// with '\' separators). Returns an empty string and sets `why` when the path is
/// empty or absolute, has an empty, "." or ".." component or a backslash, is not
/// valid UTF-8, or passes 1023 UTF-16 units.
std::u16string record_name(const std::string& relative, std::string* why);
