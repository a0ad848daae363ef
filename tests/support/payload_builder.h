// Payloads for the unit tests, built the way the writer builds them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RecordSpec {
  std::u16string name;
  std::string contents;
};

/// The decoded record stream; with `end_marker` false the final zero unit is left out.
std::string record_stream(const std::vector<RecordSpec>& records, bool end_marker = true);

/// One Zstandard frame without checksum or dictionary id, and without content
/// size unless `content_size` (as the zstd command stores it for a file).
std::string compress_frame(const std::string& stream, int window_log = 27, bool content_size = false);

/// One frame (window 1 MiB, no content size) holding `stream` in stored blocks
/// of at most 100000 bytes, none of them marked last: a frame that never ends,
/// whatever follows it.
std::string stored_frame(const std::string& stream);

/// Magic, frame, zero padding to a multiple of 8, trailer.
std::string wrap_payload(const std::string& frame);

std::string make_payload(const std::vector<RecordSpec>& records);

/// The index the writer makes beside `payload` for these records, CRCs from zlib
/// (the layout without a frame list).
std::string make_index(const std::vector<RecordSpec>& records, const std::string& payload);

/// A payload of frames, the record stream cut at `cuts` (rising stream
/// offsets), each frame with the smallest window that holds it, and the index
/// that lists its records and frames.
struct FramedPayload {
  std::string payload, index;
};
FramedPayload make_framed_payload(const std::vector<RecordSpec>& records, const std::vector<uint64_t>& cuts);

/// Bytes that compress poorly, the same for the same seed.
std::string noise(size_t size, uint32_t seed);
