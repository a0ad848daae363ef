// How the fuzz targets read their input, shared with the seed maker, which
// checks that every seed reads as it is meant to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/payload_builder.h"

namespace fuzz_input {

/// Expansion: two bytes of capacity (little-endian, below 5000), then the
/// template as UTF-16LE units.
inline void expansion(const uint8_t* data, size_t size, size_t* capacity, std::vector<char16_t>* spec) {
  *capacity = (size_t(data[0]) | (size_t(data[1]) << 8)) % 5000;
  spec->assign((size - 2) / 2 + 1, 0);
  memcpy(spec->data(), data + 2, (size - 2) / 2 * 2);
  // Names from the table turn up more often when the input is read as ASCII.
  for (char16_t& unit : *spec)
    if (unit >= 0x100 && unit < 0x8000) unit &= 0x7F;
}

/// Command line: arguments separated by 0xFF; each byte is one unit, with a
/// few bytes standing for the characters that matter most.
inline std::vector<std::u16string> arguments(const uint8_t* data, size_t size) {
  std::vector<std::u16string> out(1);
  for (size_t i = 0; i < size; ++i) {
    uint8_t b = data[i];
    if (b == 0xFF) {
      out.emplace_back();
      continue;
    }
    char16_t unit = b == 0 ? u'\\' : b == 1 ? u'"' : b == 2 ? u' ' : b == 3 ? u'\t' : b == 4 ? u'\x4E2D' : char16_t(b);
    out.back() += unit;
  }
  return out;
}

/// Records: an odd first byte makes the rest the bytes after the magic; an
/// even one makes it a record stream, wrapped into a valid frame.
inline bool raw_payload(const uint8_t* data) { return (data[0] & 1) != 0; }
inline std::string payload(const uint8_t* data, size_t size) {
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  return raw_payload(data) ? "QOB" + rest : wrap_payload(compress_frame(rest, 18));
}

/// Whether `path` lies below `target` once resolved: a component of only dots
/// and spaces with two dots or more climbs out of it, since Windows drops dots
/// and spaces at the end of a component, so any such component may be "..".
inline bool stays_inside(const std::u16string& path, const std::u16string& target) {
  if (path.compare(0, target.size() + 1, target + u"\\") != 0) return false;
  size_t dots = 0;
  bool only_dots_and_spaces = true;
  for (size_t i = target.size() + 1;; ++i) {
    char16_t unit = i < path.size() ? path[i] : 0;
    if (unit == u'\\' || unit == u'/' || unit == 0) {
      if (only_dots_and_spaces && dots >= 2) return false;
      if (unit == 0) return true;
      dots = 0;
      only_dots_and_spaces = true;
    } else if (unit == u'.') {
      ++dots;
    } else if (unit != u' ') {
      only_dots_and_spaces = false;
    }
  }
}

}  // namespace fuzz_input
