// The payload's records: the tree walk that chooses them and the encoder that
// writes them (layout in payload/format.h).
//
// Records: the entry file first, then every other regular file below the
// application folder in ascending order of the UTF-8 bytes of its relative path,
// so the same tree always gives the same bytes. A symbolic link to a regular
// file is stored as that file's contents; anything else that is not a regular
// file is refused. Files are streamed twice (checksum, then contents); nothing
// is held whole. Every function throws Failure with a one-line reason.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/files.h"

struct Record {
  std::string relative;  // UTF-8, '/' separators
  std::u16string name;
  std::string source;     // the file, as the host names it
  uint64_t size;
  uint32_t checksum;
};

/// The record's header in the stream: its name, a zero unit, its size and its checksum.
inline size_t record_head_size(const Record& r) { return 2 * r.name.size() + 2 + 12; }
std::vector<unsigned char> record_head(const Record& r);

struct CollectSettings {
  bool for_windows;        // refuse names Windows cannot create or would fold into one, and a batch entry
  bool skip_broken_links;  // leave out links to missing files, with a warning each
};

/// The records of `app_dir` with `entry` first. `output`, when it lies inside
/// the tree, is left out. A link to a missing file is refused, or with
/// `skip_broken_links` left out, unless it is the entry.
std::vector<Record> collect_records(const std::string& app_dir, const std::string& entry,
                                    const std::string& output, const CollectSettings& settings);

struct EncoderSettings {
  int level;
  int threads;
  bool records_only;  // the uncompressed record stream, no magic, frame or trailer
  bool frames;        // cut into frames as tools/frames.h plans them
  std::string frame_cache;  // tools/frame_cache.h; empty for none
};

/// Writes the records as a payload (or a bare record stream) to `sink`, with
/// progress on standard error when it is a terminal. Returns the payload's
/// index (payload/index.h), with its frame list; empty for a bare record stream.
std::vector<unsigned char> encode_records(std::vector<Record>& records, const EncoderSettings& settings, Sink& sink);

/// Writes a payload around a Zstandard frame made elsewhere.
void wrap_frame(const std::string& frame, Sink& sink);

/// Throws unless the file ends in its own length less the 8 bytes that hold it,
/// as a payload does and a record stream or any other file almost never does.
void check_payload(const std::string& path);
