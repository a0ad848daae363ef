#include "tools/pack_names.h"

#include <cstdint>

#include "payload/format.h"

static bool decode_utf8(const std::string& text, std::u16string* out) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t size = text.size();
  for (size_t i = 0; i < size;) {
    uint32_t c = s[i];
    size_t extra;
    uint32_t minimum;
    if (c < 0x80) extra = 0, minimum = 0;
    else if ((c & 0xE0) == 0xC0) extra = 1, minimum = 0x80, c &= 0x1F;
    else if ((c & 0xF0) == 0xE0) extra = 2, minimum = 0x800, c &= 0x0F;
    else if ((c & 0xF8) == 0xF0) extra = 3, minimum = 0x10000, c &= 0x07;
    else return false;
    if (i + extra >= size && extra > 0) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      c = (c << 6) | (s[i + k] & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) || c == 0) return false;
    i += extra + 1;
    if (c < 0x10000) {
      out->push_back(char16_t(c));
    } else {
      c -= 0x10000;
      out->push_back(char16_t(0xD800 + (c >> 10)));
      out->push_back(char16_t(0xDC00 + (c & 0x3FF)));
    }
  }
  return true;
}

std::u16string record_name(const std::string& relative, std::string* why) {
  if (relative.empty()) return *why = "empty name", u"";
  if (relative[0] == '/') return *why = "absolute name", u"";
  size_t start = 0;
  for (;;) {
    size_t end = relative.find('/', start);
    std::string part = relative.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (part.empty()) return *why = "empty path component", u"";
    if (part == "." || part == "..") return *why = "'.' or '..' component", u"";
    // Windows drops trailing dots and spaces, so the launcher refuses these.
    if (part.find_first_not_of(". ") == std::string::npos)
      return *why = "component of only dots and spaces", u"";
    if (part.find('\\') != std::string::npos) return *why = "backslash in a name", u"";
    if (end == std::string::npos) break;
    start = end + 1;
  }
  std::u16string name;
  if (!decode_utf8(relative, &name)) return *why = "name is not valid UTF-8", u"";
  if (name.size() > kRecordNameCapacity - 1) return *why = "name longer than 1023 UTF-16 units", u"";
  for (char16_t& unit : name)
    if (unit == u'/') unit = kRecordSeparator;
  return name;
}
