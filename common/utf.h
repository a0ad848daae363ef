// Conversions between UTF-16 (the launcher's text) and UTF-8 (POSIX names and
// values, the writer's command line, every message). The strict forms refuse
// text that does not convert (a broken surrogate, invalid or overlong UTF-8);
// only the lossy form, for messages, patches it.
#pragma once

#include <cstddef>
#include <string>

/// Strict. False when the text holds a broken surrogate; `out` is then unusable.
bool utf16_to_utf8(const char16_t* text, std::string* out);

/// Lossy, for messages: a broken surrogate becomes U+FFFD so the line stays
/// valid text. Writes at most `room - 1` bytes (whole characters only) and a
/// terminating zero; returns the bytes written without the terminator.
size_t utf16_to_utf8_lossy(const char16_t* text, char* out, size_t room);

/// Strict. Writes the units and a terminator into `out` (capacity units,
/// terminator included). Returns the length, or -1 when the text holds a zero
/// byte or does not convert, or the result does not fit.
long utf8_to_utf16(const char* text, size_t size, char16_t* out, size_t capacity);
