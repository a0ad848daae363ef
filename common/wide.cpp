#include "common/wide.h"

size_t wide_length(const char16_t* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

bool wide_equal(const char16_t* a, const char16_t* b) {
  for (; *a == *b; ++a, ++b)
    if (*a == 0) return true;
  return false;
}

static char16_t ascii_lower(char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c; }

bool wide_equal_ascii_nocase(const char16_t* a, const char16_t* b) {
  for (; ascii_lower(*a) == ascii_lower(*b); ++a, ++b)
    if (*a == 0) return true;
  return false;
}

WideWriter WideWriter::replace(char16_t* buffer, size_t capacity) {
  if (capacity == 0) return {buffer, 0, 0, false};
  buffer[0] = 0;
  return {buffer, capacity, 0, true};
}

bool WideWriter::put(char16_t unit) {
  if (!ok || length + 1 >= capacity) return ok = false;
  buffer[length++] = unit;
  buffer[length] = 0;
  return true;
}

bool WideWriter::put(const char16_t* text) {
  while (*text != 0)
    if (!put(*text++)) return false;
  return ok;
}

bool WideWriter::put_ascii(const char* text) {
  while (*text != 0)
    if (!put(char16_t(static_cast<unsigned char>(*text++)))) return false;
  return ok;
}

void WideWriter::cut(size_t new_length) {
  if (new_length < length) {
    length = new_length;
    buffer[length] = 0;
  }
}

bool wide_copy(char16_t* buffer, size_t capacity, const char16_t* text) {
  WideWriter w = WideWriter::replace(buffer, capacity);
  return w.put(text);
}
