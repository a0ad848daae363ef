// Strict conversions between the core's UTF-16 and the UTF-8 of POSIX names,
// values and arguments. Text that does not convert (broken surrogates, invalid
// or overlong UTF-8) is refused, never patched.
#pragma once

#include <cstddef>
#include <string>

/// False when the text does not convert.
bool utf16_to_utf8(const char16_t* text, std::string* out);

/// Writes into `out` (capacity units, terminator included). Returns the length,
/// or -1 when the text does not convert or does not fit.
long utf8_to_utf16(const char* text, size_t size, char16_t* out, size_t capacity);
