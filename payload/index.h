// The index of a payload's records: the writer's list of what the record stream
// holds, in stream order, kept beside the payload (never inside it, so payloads
// made elsewhere keep their exact layout). A later start compares the files in
// place against it and, when every one matches, decodes nothing.
//
//   offset 0    8 bytes  magic "MDXINDEX"
//   offset 8    4 bytes  layout version, 2 (1: no frame list)
//   offset 12   4 bytes  number of records
//   offset 16   8 bytes  size of the payload it was made with
//   offset 24   4 bytes  CRC-32 of that payload, all of it
//   offset 28   4 bytes  CRC-32 of everything below
//   offset 32            the records: each the record's header as the stream
//                        has it (name, zero unit, size, checksum), no contents
//   then        4 bytes  (version 2) number of frames, F >= 1
//   then   F+1 x 16 bytes (version 2) frame boundaries: where frame i begins
//                        in the payload (the first at 3, after the magic) and
//                        where its decoded bytes begin in the record stream
//                        (the first at 0), each a uint64; entry F holds where
//                        the last frame ends and the stream's length, end
//                        marker included
// All integers are little-endian. An index that fails any check, or was made
// with another payload, is never trusted: the launcher then unpacks as it
// would without one.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr unsigned char kIndexMagic[8] = {'M', 'D', 'X', 'I', 'N', 'D', 'E', 'X'};
constexpr uint32_t kIndexVersion = 2;
constexpr size_t kIndexFrameEntrySize = 16;
constexpr size_t kIndexHeaderSize = 32;

/// The index bytes this launcher carries, or {nullptr, 0}; supplied by the build.
struct IndexBytes {
  const unsigned char* data;
  uint64_t size;
};
IndexBytes embedded_index();

/// One record as the index lists it. `name` points into the index and holds
/// `units` UTF-16LE units (not zero-terminated, not aligned).
struct IndexEntry {
  const unsigned char* name;
  size_t units;
  uint64_t size;
  uint32_t checksum;
};

/// Where a frame begins, or (the entry after the last) where the last ends.
struct IndexFrame {
  uint64_t payload_offset;  // from the payload's first byte
  uint64_t stream_offset;   // decoded bytes of the record stream before it
};

/// Walks a well-formed index. Start with parse_index(); next() gives each
/// record in stream order and false after the last.
struct IndexReader {
  const unsigned char* at;
  const unsigned char* end;
  uint32_t remaining;
  // The frame boundaries (frame_count + 1 of them); null in an index of
  // layout 1, which lists none.
  const unsigned char* frames;
  uint32_t frame_count;
  bool next(IndexEntry* entry);
  /// Boundary `i`, 0 <= i <= frame_count.
  IndexFrame frame(uint32_t i) const;
};

/// Checks the index against itself: magic, version (1 or 2), its own CRC, that
/// every record is complete, has a name of 1 to `max_units` units, and, in
/// layout 2, that the frame boundaries rise strictly in both columns, start at
/// 3 and 0 and end at the stream's length that the records give, and the end
/// leaves nothing over. False when any check fails.
bool parse_index(const unsigned char* data, uint64_t size, size_t max_units, IndexReader* out);

/// Checks that a parsed index was made with `payload`: its size and CRC-32, all
/// of it (the dear part: every page of the payload is read). Pages summed
/// leave the resident set at once, as the reader's do. Gives up, returning
/// false, once `stop` is set.
bool index_binds_payload(const unsigned char* index, const unsigned char* payload, uint64_t payload_size,
                         const std::atomic<bool>& stop);
