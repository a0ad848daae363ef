// Little-endian integers in byte buffers: every on-disk field the launcher, its
// stub and the writer share (payload, records, attached block, PE images) is
// read and written through these, whatever the host's byte order.
#pragma once

#include <cstdint>

inline uint16_t load_le16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t load_le32(const unsigned char* p) { return load_le16(p) | uint32_t(load_le16(p + 2)) << 16; }
inline uint64_t load_le64(const unsigned char* p) { return load_le32(p) | uint64_t(load_le32(p + 4)) << 32; }

inline void store_le16(unsigned char* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void store_le32(unsigned char* p, uint32_t v) {
  store_le16(p, uint16_t(v));
  store_le16(p + 2, uint16_t(v >> 16));
}
inline void store_le64(unsigned char* p, uint64_t v) {
  store_le32(p, uint32_t(v));
  store_le32(p + 4, uint32_t(v >> 32));
}
