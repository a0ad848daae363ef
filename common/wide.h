// Fixed-capacity UTF-16 text, shared by the core and the platform backends.
//
// Every buffer is a caller's array whose capacity counts the terminator, so it
// holds at most capacity - 1 units. Appends check the room before each unit and
// never cut silently: a failed append is a result the caller must handle.
#pragma once

#include <cstddef>
#include <cstdint>

/// Capacity of a wide path buffer, in UTF-16 units, terminator included.
constexpr size_t kPathCapacity = 4096;

/// Length of a zero-terminated UTF-16 string, in units.
size_t wide_length(const char16_t* text);

/// Exact, unit-by-unit equality (like wcscmp() == 0).
bool wide_equal(const char16_t* a, const char16_t* b);

/// Equality without regard to the case of ASCII letters (like _wcsicmp() == 0).
bool wide_equal_ascii_nocase(const char16_t* a, const char16_t* b);

/// Writes zero-terminated text into a caller's buffer, checking the room first.
struct WideWriter {
  char16_t* buffer;
  size_t capacity;
  size_t length;
  bool ok;

  /// Empties the buffer and writes from its start; a buffer with no room even
  /// for a terminator starts failed.
  static WideWriter replace(char16_t* buffer, size_t capacity);

  /// Each returns false, once and for all, when the unit(s) and a terminator
  /// do not fit; the units that fitted stay, zero-terminated.
  bool put(char16_t unit);
  bool put(const char16_t* text);
  bool put_ascii(const char* text);
  /// Drops units from the end down to `new_length` (never grows).
  void cut(size_t new_length);
};

/// Copies `text` into the buffer, replacing what it held. Returns false when it
/// does not fit; the buffer then holds an unusable prefix.
bool wide_copy(char16_t* buffer, size_t capacity, const char16_t* text);
