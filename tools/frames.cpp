#include "tools/frames.h"

#include <algorithm>

#include "payload/format.h"

namespace {

// FNV-1a over the name's UTF-16LE bytes, the same on every host, then mixed
// so that names alike but for a letter or two get unrelated high bits.
// `before` is the bytes of the record before since its last cut.
bool marked(const std::u16string& name, uint64_t before) {
  if (before >= kFrameMarkGap) return true;
  uint64_t hash = 0xcbf29ce484222325u;
  for (char16_t unit : name)
    for (unsigned byte : {unsigned(unit) & 0xff, unsigned(unit) >> 8}) hash = (hash ^ byte) * 0x100000001b3u;
  hash = (hash ^ (hash >> 33)) * 0xff51afd7ed558ccdu;
  hash = (hash ^ (hash >> 33)) * 0xc4ceb9fe1a85ec53u;
  hash ^= hash >> 33;
  return (hash >> 32) < (before << 32) / kFrameMarkGap;
}

}  // namespace

std::vector<uint64_t> plan_frames(const std::vector<Record>& records) {
  std::vector<uint64_t> ends;
  uint64_t at = 0, last = 0, before = 0, previous = 0;
  for (const Record& r : records) {
    uint64_t head = record_head_size(r);
    // A large record is cut into equal parts, so that none is left too small
    // to stand as a frame before the next large record.
    uint64_t parts = r.size <= kFileCut ? 1 : (r.size + kFileCut - 1) / kFileCut;
    uint64_t part = (r.size + parts - 1) / parts;
    // Up to the record's first cut, or all of it.
    uint64_t lead = head + part;
    uint64_t since = at - last;
    // A large record of about the size of the one before it, both uncut, is
    // most often another version of it: it stays in that frame while the
    // frame has room, since the matches between versions are found only
    // within a frame.
    bool alike = parts == 1 && previous >= kFrameLeast && previous <= kFileCut &&
                 std::max(previous, r.size) - std::min(previous, r.size) <= std::max(previous, r.size) / 8;
    bool large = r.size >= kFrameLeast && !alike;
    if (since > 0 && ((since >= kFrameLeast && (large || (!alike && marked(r.name, before)))) ||
                      since + lead > kFrameMost)) {
      ends.push_back(at);
      last = at;
    }
    uint64_t contents = at + head;
    uint64_t inner = (parts - 1) * part;  // its last cut
    for (uint64_t k = 1; k < parts; ++k) ends.push_back(contents + k * part);
    if (inner > 0) last = contents + inner;
    before = inner > 0 ? r.size - inner : head + r.size;
    at = contents + r.size;
    previous = r.size;
  }
  ends.push_back(at + 2);
  return ends;
}

int frame_window_log(uint64_t decoded) {
  int log = 10;  // ZSTD_WINDOWLOG_MIN
  while (log < kPayloadWindowLog && (uint64_t(1) << log) < decoded) ++log;
  return log;
}
