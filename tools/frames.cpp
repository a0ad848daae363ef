#include "tools/frames.h"

#include <algorithm>

#include "payload/format.h"

namespace {

// FNV-1a over the name's UTF-16LE bytes, the same on every host. Its low bits
// follow only the low bits of each byte, so the choice takes the high ones.
bool cut_before(const std::u16string& name) {
  uint64_t hash = 0xcbf29ce484222325u;
  for (char16_t unit : name)
    for (unsigned byte : {unsigned(unit) & 0xff, unsigned(unit) >> 8}) hash = (hash ^ byte) * 0x100000001b3u;
  return hash >> 62 == 0;
}

}  // namespace

std::vector<uint64_t> plan_frames(const std::vector<Record>& records) {
  std::vector<uint64_t> ends;
  uint64_t at = 0, last = 0;
  for (const Record& r : records) {
    uint64_t head = 2 * r.name.size() + 2 + 12;
    // Up to the record's first cut, or all of it.
    uint64_t lead = head + std::min(r.size, kFrameTarget);
    uint64_t since = at - last;
    if (since > 0 && ((since >= kFrameLeast && cut_before(r.name)) || since + lead > kFrameMost)) {
      ends.push_back(at);
      last = at;
    }
    uint64_t contents = at + head;
    for (uint64_t k = kFrameTarget; k < r.size; k += kFrameTarget) {
      ends.push_back(contents + k);
      last = contents + k;
    }
    at = contents + r.size;
  }
  ends.push_back(at + 2);
  return ends;
}

int frame_window_log(uint64_t decoded) {
  int log = 10;  // ZSTD_WINDOWLOG_MIN
  while (log < kPayloadWindowLog && (uint64_t(1) << log) < decoded) ++log;
  return log;
}
