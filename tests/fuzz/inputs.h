// How the fuzz targets read their input, shared with the seed maker, which
// checks that every seed reads as it is meant to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <zstd.h>

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

/// A window the reader on two cores decodes in with any zstd: it must hold a
/// step held back and a block's room besides, which 2^17 does only with some.
/// Both readers allocate about the window for every input, and under
/// AddressSanitizer a large one costs more than all the rest (2^27: 40 ms).
constexpr int kWindowLog = 18;

/// `stream` as a frame with that window and no content size, as
/// compress_frame makes it, from one context kept for every input: a fresh one
/// costs more than the compression.
inline std::string frame(const std::string& stream) {
  static const std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> context = [] {
    std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> c(ZSTD_createCCtx(), ZSTD_freeCCtx);
    ZSTD_CCtx_setParameter(c.get(), ZSTD_c_compressionLevel, 3);
    ZSTD_CCtx_setParameter(c.get(), ZSTD_c_windowLog, kWindowLog);
    ZSTD_CCtx_setParameter(c.get(), ZSTD_c_contentSizeFlag, 0);
    ZSTD_CCtx_setParameter(c.get(), ZSTD_c_checksumFlag, 0);
    ZSTD_CCtx_setParameter(c.get(), ZSTD_c_dictIDFlag, 0);
    return c;
  }();
  std::string out(ZSTD_compressBound(stream.size()) + 64, '\0');
  ZSTD_inBuffer in = {stream.data(), stream.size(), 0};
  ZSTD_outBuffer o = {out.data(), out.size(), 0};
  // Two calls, so that the encoder never learns the size and shrinks the window.
  ZSTD_compressStream2(context.get(), &o, &in, ZSTD_e_continue);
  if (ZSTD_compressStream2(context.get(), &o, &in, ZSTD_e_end) != 0) abort();
  out.resize(o.pos);
  return out;
}

/// Records: an odd first byte makes the rest the bytes after the magic; an
/// even one makes it a record stream, wrapped into a valid frame.
inline bool raw_payload(const uint8_t* data) { return (data[0] & 1) != 0; }
inline std::string payload(const uint8_t* data, size_t size) {
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  return raw_payload(data) ? "QOB" + rest : wrap_payload(frame(rest));
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
