// Target spec expansion: a UTF-16 template in which {NAME} stands for a value
// known only at run time (system folders, the launcher's path and process id,
// build-time strings, per-run values).
#pragma once

#include <cstddef>

/// Capacity of the name between braces, terminator included; a longer name is
/// kept from overflowing and can never match.
constexpr size_t kVariableNameCapacity = 1024;

/// Expands `spec` into `output` (`capacity` units, terminator included).
/// Returns true with the whole expansion, zero-terminated; false on an unknown
/// name, a value or literal without room, a system lookup that fails, or a
/// MORDAX_ONEFILE_PARENT that is not all digits. On false `output` holds a
/// partial result that must not be used. Never writes past `capacity` and prints
/// nothing. A '}' with no name open is a literal; a name still open at the end
/// is dropped.
bool expand_target_spec(char16_t* output, const char16_t* spec, size_t capacity);
