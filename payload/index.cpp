#include "payload/index.h"

#include <libdeflate.h>

#include <cstring>

#include "common/little_endian.h"
#include "payload/format.h"
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

IndexFrame IndexReader::frame(uint32_t i) const {
  const unsigned char* entry = frames + size_t(i) * kIndexFrameEntrySize;
  return IndexFrame{load_le64(entry), load_le64(entry + 8)};
}

bool parse_index(const unsigned char* data, uint64_t size, size_t max_units, IndexReader* out) {
  if (data == nullptr || size < kIndexHeaderSize) return false;
  uint32_t version = load_le32(data + 8);
  if (memcmp(data, kIndexMagic, sizeof kIndexMagic) != 0 || (version != 1 && version != kIndexVersion)) return false;
  const unsigned char* records = data + kIndexHeaderSize;
  const unsigned char* end = data + size;
  if (libdeflate_crc32(0, records, size_t(end - records)) != load_le32(data + 28)) return false;
  uint32_t count = load_le32(data + 12);
  const unsigned char* at = records;
  // The stream's length as the records give it, for the frame list to end at;
  // sizes come from the file, so the sum is kept from wrapping.
  uint64_t stream = 2;
  for (uint32_t i = 0; i < count; ++i) {
    IndexEntry entry;
    if (!read_entry(at, end, max_units, &entry)) return false;
    uint64_t head = 2 * entry.units + 2 + 12;
    if (entry.size > UINT64_MAX - head || stream > UINT64_MAX - head - entry.size) return false;
    stream += head + entry.size;
  }
  if (count == 0) return false;
  IndexReader reader{records, at, count, nullptr, 0};
  if (version == 1) {
    if (at != end) return false;
    *out = reader;
    return true;
  }
  if (end - at < 4) return false;
  uint32_t frames = load_le32(at);
  const unsigned char* list = at + 4;
  if (frames == 0 || uint64_t(end - list) != (uint64_t(frames) + 1) * kIndexFrameEntrySize) return false;
  reader.frames = list;
  reader.frame_count = frames;
  IndexFrame first = reader.frame(0), last = reader.frame(frames);
  if (first.payload_offset != sizeof kPayloadMagic || first.stream_offset != 0 || last.stream_offset != stream)
    return false;
  // The trailer's 8 bytes come after the last frame.
  uint64_t payload_size = load_le64(data + 16);
  if (payload_size < 8 || last.payload_offset > payload_size - 8) return false;
  for (uint32_t i = 1; i <= frames; ++i) {
    IndexFrame before = reader.frame(i - 1), here = reader.frame(i);
    if (here.payload_offset <= before.payload_offset || here.stream_offset <= before.stream_offset) return false;
  }
  *out = reader;
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
