#include "payload/index.h"

#include <libdeflate.h>

#include <cstring>

#include "common/little_endian.h"
#include "platform/platform.h"

namespace {

// One record's header: the end of its name (the zero unit) and its two fields.
bool read_entry(const unsigned char*& at, const unsigned char* end, size_t max_units, IndexEntry* entry) {
  size_t units = 0;
  for (;; ++units) {
    if (end - at < ptrdiff_t(2 * (units + 1))) return false;
    if (load_le16(at + 2 * units) == 0) break;
  }
  if (units == 0 || units > max_units || end - at < ptrdiff_t(2 * units + 2 + 12)) return false;
  entry->name = at;
  entry->units = units;
  at += 2 * units + 2;
  entry->size = load_le64(at);
  entry->checksum = load_le32(at + 8);
  at += 12;
  return true;
}

}  // namespace

bool IndexReader::next(IndexEntry* entry) {
  if (remaining == 0) return false;
  --remaining;
  // parse_index() has walked every record already.
  return read_entry(at, end, SIZE_MAX, entry);
}

bool parse_index(const unsigned char* data, uint64_t size, size_t max_units, IndexReader* out) {
  if (data == nullptr || size < kIndexHeaderSize) return false;
  if (memcmp(data, kIndexMagic, sizeof kIndexMagic) != 0 || load_le32(data + 8) != kIndexVersion) return false;
  const unsigned char* records = data + kIndexHeaderSize;
  const unsigned char* end = data + size;
  if (libdeflate_crc32(0, records, size_t(end - records)) != load_le32(data + 28)) return false;
  uint32_t count = load_le32(data + 12);
  const unsigned char* at = records;
  for (uint32_t i = 0; i < count; ++i) {
    IndexEntry entry;
    if (!read_entry(at, end, max_units, &entry)) return false;
  }
  if (at != end || count == 0) return false;
  *out = IndexReader{records, end, count};
  return true;
}

bool index_binds_payload(const unsigned char* index, const unsigned char* payload, uint64_t payload_size,
                         const std::atomic<bool>& stop) {
  if (load_le64(index + 16) != payload_size || payload == nullptr) return false;
  constexpr uint64_t kPiece = 4u << 20;
  uint32_t crc = 0;
  for (uint64_t done = 0; done < payload_size;) {
    if (stop) return false;
    uint64_t n = payload_size - done < kPiece ? payload_size - done : kPiece;
    crc = libdeflate_crc32(crc, payload + done, size_t(n));
    platform::release_pages(payload + done, size_t(n));
    done += n;
  }
  return crc == load_le32(index + 24);
}
