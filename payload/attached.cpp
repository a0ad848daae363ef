#include "payload/attached.h"

#include <cstring>

namespace {

uint64_t read_le(const unsigned char* p, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

}  // namespace

bool parse_attached_block(const unsigned char* data, uint64_t size, AttachedBlock* out) {
  if (data == nullptr || size < kAttachedHeaderSize) return false;
  if (memcmp(data, kAttachedMagic, sizeof kAttachedMagic) != 0) return false;
  if (read_le(data + 8, 4) != kAttachedVersion || read_le(data + 12, 4) != kAttachedHeaderSize)
    return false;
  for (uint32_t i = 0; i < kAttachedStringCount; ++i) {
    uint64_t offset = read_le(data + 16 + 8 * i, 4), units = read_le(data + 20 + 8 * i, 4);
    // Both are 32-bit, so the sum cannot wrap in 64 bits.
    uint64_t end = offset + 2 * (units + 1);
    if (offset < kAttachedHeaderSize || offset % 2 != 0 || end > size) return false;
    const unsigned char* text = data + offset;
    if (reinterpret_cast<uintptr_t>(text) % alignof(char16_t) != 0) return false;
    if (text[2 * units] != 0 || text[2 * units + 1] != 0) return false;
    out->strings[i] = reinterpret_cast<const char16_t*>(text);
  }
  uint64_t payload_offset = read_le(data + 64, 8), payload_size = read_le(data + 72, 8);
  if (payload_offset < kAttachedHeaderSize || payload_offset > size || payload_size > size - payload_offset)
    return false;
  out->payload = data + payload_offset;
  out->payload_size = payload_size;
  return true;
}
