// Reading a payload back: its frames decoded on demand as the launcher decodes
// them (a decoder with default parameters, so a window beyond 2^27 is refused
// here too), record by record, with nothing held whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "payload/index.h"

struct RecordHeader {
  size_t number;  // from 1, in stream order
  std::u16string name;
  uint64_t size;
  uint32_t stored;  // the checksum the record carries
};

/// What a walk reports, in stream order: begin(), the contents in pieces (the
/// first one holds min(size, 64 KiB) bytes; a visitor that wants only the
/// headers and checksums leaves them alone), then end() with the record
/// checksum of the contents.
class RecordVisitor {
 public:
  virtual ~RecordVisitor() = default;
  virtual void begin(const RecordHeader& record) = 0;
  virtual void contents(const unsigned char* /*data*/, size_t /*size*/) {}
  virtual void end(const RecordHeader& record, uint32_t checksum) = 0;
};

/// What follows the end marker.
struct StreamEnd {
  uint64_t after_end;  // decoded bytes after it, in the frame that holds it
  // Where each frame begins, as an index lists them: the first after the
  // magic, the last entry where the frame that holds the end marker ends.
  std::vector<IndexFrame> frames;
};

/// Walks the records of `payload` up to the end marker and returns how many
/// there were. With `end` it also decodes the frame that holds the end marker
/// to its end and says what it found. Throws Failure with one line when the
/// magic is wrong, a frame does not decode, the stream ends early, or a name
/// does not fit the launcher's name buffer.
size_t walk_records(const unsigned char* payload, uint64_t size, RecordVisitor& visitor, StreamEnd* end = nullptr);

/// A record name for people: UTF-8, '/' between components, a broken
/// surrogate shown as U+FFFD.
std::string shown_name(const std::u16string& name);
