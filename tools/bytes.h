// Byte buffers the writer builds images and resources in, with the
// little-endian fields of common/little_endian.h at an index or appended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/little_endian.h"

using Bytes = std::vector<unsigned char>;

inline uint32_t get16(const Bytes& b, size_t at) { return load_le16(&b[at]); }
inline uint32_t get32(const Bytes& b, size_t at) { return load_le32(&b[at]); }
inline void set16(Bytes& b, size_t at, uint32_t v) { store_le16(&b[at], uint16_t(v)); }
inline void set32(Bytes& b, size_t at, uint32_t v) { store_le32(&b[at], v); }

inline void put16(Bytes& b, uint32_t v) {
  b.resize(b.size() + 2);
  set16(b, b.size() - 2, v);
}
inline void put32(Bytes& b, uint32_t v) {
  b.resize(b.size() + 4);
  set32(b, b.size() - 4, v);
}
