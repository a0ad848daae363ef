// Name rules of the payload writer: everything the launcher relies on the writer
// to guarantee about a record name is checked here.
#pragma once

#include <string>

/// Turns a relative path with '/' separators (UTF-8) into a record name (UTF-16
/// with '\' separators). Returns an empty string and sets `why` when the path is
/// empty or absolute, has an empty, "." or ".." component or a backslash, is not
/// valid UTF-8, or passes 1023 UTF-16 units.
std::u16string record_name(const std::string& relative, std::string* why);

/// Why Windows could not create a record under this name (a character it does
/// not allow, a component ending in a dot or a space, which it drops, or a
/// device name such as CON or LPT1, with or without an extension); empty when
/// it can.
std::string windows_name_problem(const std::u16string& name);

/// The name as Windows compares names: case folded (simple Unicode upper case).
std::u16string windows_folded(const std::u16string& name);

/// Whether Windows would hand the file to cmd.exe instead of starting it: a
/// name ending in ".bat" or ".cmd", whatever the case and any dots and spaces
/// after it.
bool is_batch_file_name(const std::u16string& name);

/// Why a launcher should not be made with this target spec (UTF-8, as given):
/// empty, a root folder (only separators, or a drive and separators), relative
/// (neither a path from the root nor begun by a variable that expands to one),
/// or, for Linux, a backslash, which is no separator there; empty when it may be.
std::string target_spec_problem(const std::string& spec, bool windows);
