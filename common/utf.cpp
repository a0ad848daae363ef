#include "common/utf.h"

#include <cstdint>

namespace {

constexpr uint32_t kBroken = 0xFFFFFFFF;

// The code point at `*text`, stepping past it; kBroken for half a pair.
uint32_t next_code_point(const char16_t*& text) {
  uint32_t c = *text++;
  if (c >= 0xD800 && c <= 0xDBFF) {
    uint32_t low = *text;
    if (low < 0xDC00 || low > 0xDFFF) return kBroken;
    ++text;
    return 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
  }
  return c >= 0xDC00 && c <= 0xDFFF ? kBroken : c;
}

// Returns the number of bytes (1 to 4) written to `out`.
size_t encode_utf8(uint32_t c, char out[4]) {
  if (c < 0x80) {
    out[0] = char(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = char(0xC0 | (c >> 6));
    out[1] = char(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = char(0xE0 | (c >> 12));
    out[1] = char(0x80 | ((c >> 6) & 0x3F));
    out[2] = char(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = char(0xF0 | (c >> 18));
  out[1] = char(0x80 | ((c >> 12) & 0x3F));
  out[2] = char(0x80 | ((c >> 6) & 0x3F));
  out[3] = char(0x80 | (c & 0x3F));
  return 4;
}

}  // namespace

bool utf16_to_utf8(const char16_t* text, std::string* out) {
  out->clear();
  while (*text != 0) {
    uint32_t c = next_code_point(text);
    if (c == kBroken) return false;
    char bytes[4];
    out->append(bytes, encode_utf8(c, bytes));
  }
  return true;
}

size_t utf16_to_utf8_lossy(const char16_t* text, char* out, size_t room) {
  if (room == 0) return 0;
  size_t n = 0;
  while (*text != 0) {
    uint32_t c = next_code_point(text);
    char bytes[4];
    size_t size = encode_utf8(c == kBroken ? 0xFFFD : c, bytes);
    if (n + size >= room) break;
    for (size_t i = 0; i < size; ++i) out[n++] = bytes[i];
  }
  out[n] = 0;
  return n;
}

long utf8_to_utf16(const char* text, size_t size, char16_t* out, size_t capacity) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  size_t n = 0;
  auto put = [&](uint32_t unit) {
    if (n + 1 >= capacity) return false;
    out[n++] = char16_t(unit);
    return true;
  };
  for (size_t i = 0; i < size;) {
    uint32_t c = s[i];
    size_t extra;
    uint32_t minimum;
    if (c < 0x80) {
      extra = 0, minimum = 0;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1, minimum = 0x80, c &= 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, minimum = 0x800, c &= 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, minimum = 0x10000, c &= 0x07;
    } else {
      return -1;
    }
    if (i + extra >= size && extra > 0) return -1;
    for (size_t k = 1; k <= extra; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return -1;
      c = (c << 6) | (s[i + k] & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return -1;
    if (c == 0) return -1;
    i += extra + 1;
    if (c < 0x10000) {
      if (!put(c)) return -1;
    } else {
      c -= 0x10000;
      if (!put(0xD800 + (c >> 10)) || !put(0xDC00 + (c & 0x3FF))) return -1;
    }
  }
  if (capacity == 0) return -1;
  out[n] = 0;
  return long(n);
}
