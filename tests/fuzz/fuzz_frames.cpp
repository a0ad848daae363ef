// The frame extractor over a small tree that the input names, fills, places
// beforehand, cuts into frames and damages, through the fake platform, against
// the record loop alone on the same payload and files. The extractor writes
// only below the target and no file past its record's size; the launcher's
// unpacking (the loop after it where it hands over) stops as the loop does,
// with its status and messages, and leaves its files, directories and child;
// after a stop or a frame that does not decode as listed, a file may also be
// empty or a whole record instead.
//
// The input, in order (bytes past its end read as zero): options (processors
// 1-4 in bits 0-1, case folding 2, a write budget 3 with a word following,
// Damage in 4-6, a file refused 7); 1 + byte % 6 records, each 1 + byte % 3
// name parts (a byte each, kParts), a size byte (below 192: % 48, else up to
// 4 KiB) and one the contents are drawn from; with bit 7 the record whose file
// is refused; for each record what its file holds before (byte % 4: nothing,
// the record, the record changed, the next record's contents); 1 + byte % 7
// cuts, a word each; byte % 4 damages, a word and an XOR byte each.
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "extract/directories.h"
#include "extract/extract.h"
#include "extract/frames.h"
#include "payload/index.h"
#include "payload/payload.h"
#include "tests/fuzz/inputs.h"
#include "tests/support/fake_platform.h"
#include "tests/support/payload_builder.h"

namespace {

using Files = std::map<std::u16string, std::string>;
const std::u16string kTarget = u"C:\\T";
// ASCII case, case past ASCII, dots and spaces that climb or vanish on
// Windows, an empty part, and a '/' the loop takes as a separator.
const char16_t* const kParts[16] = {u"a",      u"A",      u"bin", u"BIN", u"x.txt", u"X.TXT", u"\u00e9", u"\u00c9",
                                    u"\u03c3", u"\u03a3", u"..",  u".",   u"",      u"c ",    u"d.",     u"e/f"};
// Flips in the frames, in the frame list or anywhere in the index, or cuts;
// refit_ ones make the index's checksums fit them, so that only frames tell.
enum Damage { none, frames, refit_frames, refit_frame_list, index_bytes, cut_payload, cut_index, refit_both };

// The CRC-32 of `bytes` from `from` on, into the index at `at`.
void fit_crc(std::string& index, size_t at, const std::string& bytes, size_t from) {
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(bytes.data() + from), uInt(bytes.size() - from));
  for (int i = 0; i < 4; ++i) index[at + size_t(i)] = char(crc >> (8 * i));
}

struct Outcome {
  fake::State after;
  int status = -1;  // none: no stop
  std::u16string child;
};

// The launcher's unpacking on frames when `extracted` is given (then set to
// what the extractor alone left), else the record loop alone.
Outcome unpack(const fake::State& start, Files* extracted) {
  fake::reset_in_target(kTarget);
  fake::state() = start;
  if (extracted != nullptr) use_directory_memo(DirectoryMemo::hashed);
  Outcome o;
  try {
    bool done = extracted != nullptr && extract_frames();
    if (extracted != nullptr) *extracted = fake::state().files, extracted = nullptr;
    if (!done) payload_open(false, false), extract_records();
  } catch (const FatalExit& e) {
    if (extracted != nullptr) *extracted = fake::state().files;
    o.status = e.status;
  }
  payload_close();
  o.after = fake::state(), o.child = child_executable_path;
  for (const auto& [path, contents] : o.after.files)
    if (!fuzz_input::stays_inside(path, kTarget)) abort();
  for (const std::u16string& dir : o.after.directories)
    if (dir != kTarget && !fuzz_input::stays_inside(dir, kTarget)) abort();
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t read = 0;
  auto next = [&] { return read < size ? data[read++] : uint8_t(0); };
  auto word = [&] { unsigned low = next(); return low + 256u * next(); };
  fake::reset_in_target(kTarget);
  fake::State start = fake::state();
  uint8_t options = next();
  start.processors = 1 + (options & 3u);
  start.folds_case = (options & 4) != 0;
  start.write_budget = (options & 8) != 0 ? long(word()) : -1;
  Damage damage = Damage((options >> 4) & 7);
  std::vector<RecordSpec> records(1 + next() % 6);
  std::vector<std::u16string> paths;
  for (size_t i = 0; i < records.size(); ++i) {
    for (unsigned parts = 1 + next() % 3, k = 0; k < parts; ++k)
      records[i].name += (k == 0 ? u"" : u"\\") + std::u16string(kParts[next() & 15]);
    paths.push_back(kTarget + u"\\" + records[i].name);
    uint8_t size_byte = next(), fill = next();
    for (size_t k = 0, n = size_byte < 192 ? size_byte % 48 : 48 + (size_byte - 192) * 64u; k < n; ++k)
      records[i].contents += char(fill + (k * (fill | 1) >> 3));
  }
  if ((options & 0x80) != 0) start.unwritable.insert(paths[next() % records.size()]);
  // Each stream byte's kind: a header's, or contents in place or to write.
  enum Kind : char { head, in_place, to_write };
  std::vector<Kind> kinds;
  std::vector<size_t> contents_at;
  for (size_t i = 0; i < records.size(); ++i) {
    const std::string& own = records[i].contents;
    uint8_t held = next() & 3;
    if (held != 0 && fuzz_input::stays_inside(paths[i], kTarget)) {
      start.files[paths[i]] = held == 1   ? own
                              : held == 2 ? (own.empty() ? "old" : char(own[0] ^ 1) + own.substr(1))
                                          : records[(i + 1) % records.size()].contents;
      for (size_t cut = kTarget.size(); (cut = paths[i].find(u'\\', cut + 1)) != std::u16string::npos;)
        start.directories.insert(paths[i].substr(0, cut));
    }
    kinds.resize(kinds.size() + 2 * records[i].name.size() + 2 + 12, head);
    contents_at.push_back(kinds.size());
    auto was = start.files.find(paths[i]);
    kinds.resize(kinds.size() + own.size(), was != start.files.end() && was->second == own ? in_place : to_write);
  }
  kinds.resize(kinds.size() + 2, head);
  const std::string stream = record_stream(records);
  std::set<uint64_t> cuts;
  for (unsigned n = 1 + next() % 7; n > 0; --n) cuts.insert(word() % stream.size());
  cuts.erase(0);
  FramedPayload framed = make_framed_payload(records, std::vector<uint64_t>(cuts.begin(), cuts.end()));
  IndexReader listed;  // none for an empty name, which ends the stream early
  if (!parse_index(reinterpret_cast<const unsigned char*>(framed.index.data()), framed.index.size(), 1023, &listed))
    return 0;
  std::vector<IndexFrame> bounds;  // as listed before the damage
  for (uint32_t f = 0; f <= listed.frame_count; ++f) bounds.push_back(listed.frame(f));
  const bool refit = damage == refit_frames || damage == refit_frame_list || damage == refit_both;
  std::string& payload = start.payload = framed.payload;
  std::string& index = start.index = framed.index;
  const size_t list_at = index.size() - kIndexFrameEntrySize * bounds.size();
  for (unsigned n = next() % 4, k = 0; damage != none && k < n; ++k) {
    unsigned at = word();
    char flip = char(next());
    if (damage == cut_payload) payload.resize(at % (payload.size() + 1));
    else if (damage == cut_index) index.resize(at % (index.size() + 1));
    else if (damage == index_bytes) index[at % index.size()] ^= flip;
    else if (damage == refit_frame_list || (damage == refit_both && k % 2 == 1))
      index[list_at + at % (index.size() - list_at)] ^= flip;
    else payload[3 + at % (bounds.back().payload_offset - 3)] ^= flip;
  }
  if (refit) {
    // A disk that fills races a frame that fails, read in steps: either stop is right.
    if (damage != refit_frame_list) start.write_budget = -1;
    fit_crc(index, 24, payload, 0);
    fit_crc(index, 28, index, kIndexHeaderSize);
  }
  // The stream as the first listed frames decode now. With a refitted index
  // the loop is no reference for a frame that decodes whole to other headers
  // (as only a forger makes), nor for a damaged one the extractor takes on
  // the index's word (it holds nothing to write), as the shortcut takes all;
  // after one that fails, a file it emptied may be one the loop's stream,
  // read only as far as it goes, never names.
  static ZSTD_DCtx* const decoder = ZSTD_createDCtx();
  std::string decoded = stream;
  bool described = true, as_listed = true;
  for (size_t f = 0; f + 1 < bounds.size() && bounds[f + 1].payload_offset <= payload.size(); ++f) {
    uint64_t from = bounds[f].stream_offset, to = bounds[f + 1].stream_offset;
    size_t at = size_t(bounds[f].payload_offset), n = size_t(bounds[f + 1].payload_offset - at);
    bool taken_on_word = payload.compare(at, n, framed.payload, at, n) != 0 &&
                         std::count(kinds.begin() + long(from), kinds.begin() + long(to), to_write) == 0;
    std::string part(size_t(to - from), '\0');
    bool decodes = ZSTD_findFrameCompressedSize(payload.data() + at, n) == n &&
                   ZSTD_decompressDCtx(decoder, part.data(), part.size(), payload.data() + at, n) == part.size();
    for (size_t k = 0; decodes && k < part.size(); ++k)
      described = described && (!refit || kinds[from + k] != head || part[k] == stream[from + k]);
    described = described && !(refit && taken_on_word);
    if (decodes) decoded.replace(size_t(from), part.size(), part);
    as_listed = as_listed && decodes;
  }

  // Nor, with a forged payload checksum, for a frame that fails: the files and
  // folders made from the index before decoding may then stand where the
  // loop's damaged stream puts others, and stop it with "failed to open".
  described = described && !(refit && !as_listed);

  Files extracted;
  Outcome launcher = unpack(start, &extracted), loop = unpack(start, nullptr);
  for (const auto& [path, contents] : extracted) {
    auto was = start.files.find(path);
    size_t limit = 0;
    for (size_t i = 0; i < records.size(); ++i)
      if (paths[i] == path) limit = std::max(limit, records[i].contents.size());
    if ((was == start.files.end() || was->second != contents) && contents.size() > limit) abort();
  }
  const fake::State &a = launcher.after, &b = loop.after;
  if (described) {
    if (launcher.status != loop.status || a.out != b.out || a.err != b.err ||
        !std::includes(a.directories.begin(), a.directories.end(), b.directories.begin(), b.directories.end()) ||
        (launcher.status < 0 && as_listed &&
         (a.files != b.files || a.directories != b.directories || launcher.child != loop.child)))
      abort();
    for (const auto& [path, contents] : b.files)
      if (a.files.count(path) == 0) abort();
    for (const auto& [path, contents] : a.files) {
      auto theirs = b.files.find(path);
      bool whole = false;
      for (size_t i = 0; i < records.size(); ++i)
        whole = whole ||
                (paths[i] == path && decoded.compare(contents_at[i], records[i].contents.size(), contents) == 0);
      if ((theirs == b.files.end() || theirs->second != contents) && !contents.empty() && !whole) abort();
    }
  }
  fake::reset();  // freed within the input, or libFuzzer takes it for a leak
  return 0;
}
