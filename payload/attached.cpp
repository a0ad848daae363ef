#include "payload/attached.h"

#include <cstring>

#include "common/little_endian.h"

bool parse_attached_block(const unsigned char* data, uint64_t size, AttachedBlock* out) {
  if (data == nullptr || size < kAttachedHeaderSize) return false;
  if (memcmp(data, kAttachedMagic, sizeof kAttachedMagic) != 0) return false;
  uint32_t header_size = load_le32(data + 12);
  if (load_le32(data + 8) != kAttachedVersion ||
      (header_size != kAttachedHeaderSize && header_size != kAttachedIndexedHeaderSize) || size < header_size)
    return false;
  for (uint32_t i = 0; i < kAttachedStringCount; ++i) {
    uint64_t offset = load_le32(data + 16 + 8 * i), units = load_le32(data + 20 + 8 * i);
    // Both are 32-bit, so the sum cannot wrap in 64 bits.
    uint64_t end = offset + 2 * (units + 1);
    if (offset < header_size || offset % 2 != 0 || end > size) return false;
    const unsigned char* text = data + offset;
    if (reinterpret_cast<uintptr_t>(text) % alignof(char16_t) != 0) return false;
    if (text[2 * units] != 0 || text[2 * units + 1] != 0) return false;
    out->strings[i] = reinterpret_cast<const char16_t*>(text);
  }
  uint64_t payload_offset = load_le64(data + 64), payload_size = load_le64(data + 72);
  if (payload_offset < header_size || payload_offset > size || payload_size > size - payload_offset)
    return false;
  out->payload = data + payload_offset;
  out->payload_size = payload_size;
  out->index = nullptr;
  out->index_size = 0;
  out->fast_start = header_size == kAttachedIndexedHeaderSize;
  if (out->fast_start) {
    uint64_t index_offset = load_le64(data + 80), index_size = load_le64(data + 88);
    if (index_offset < header_size || index_offset > size || index_size > size - index_offset) return false;
    out->index = data + index_offset;
    out->index_size = index_size;
  }
  return true;
}

bool parse_attached_footer(const unsigned char (&footer)[kAttachedFooterSize], uint64_t file_size,
                           uint64_t* offset, uint64_t* size) {
  if (file_size < kAttachedFooterSize) return false;
  if (memcmp(footer + 16, kAttachedFooterMagic, sizeof kAttachedFooterMagic) != 0) return false;
  uint64_t at = load_le64(footer), length = load_le64(footer + 8);
  uint64_t room = file_size - kAttachedFooterSize;
  if (length == 0 || at > room || length > room - at) return false;
  *offset = at;
  *size = length;
  return true;
}
