// The index over arbitrary input, through the fake platform. The first byte
// chooses how the rest is used: as a whole index (exercising the header's
// checks, layout 1 among them), or as the records and frame list of an index
// of layout 2 whose header is made valid for the payload (exercising names,
// sizes, the frame list and the shortcut). Reading outside the index, a write
// outside the target directory or into a climbing name, a shortcut taken while
// a listed file is not in place, or a frame list accepted that does not rise
// from the magic to the stream's length is a finding.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/little_endian.h"
#include "extract/extract.h"
#include "payload/index.h"
#include "tests/fuzz/inputs.h"
#include "tests/support/fake_platform.h"

namespace {

void put_le(std::string& out, size_t at, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[at + size_t(i)] = char(value >> (8 * i));
}

uint32_t crc_of(const std::string& bytes, size_t from) {
  return uint32_t(crc32(0, reinterpret_cast<const Bytef*>(bytes.data() + from), uInt(bytes.size() - from)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // Room for the frames a writer's index of a small tree lists.
  const std::string payload = "QOB" + std::string(125, 'p');
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string index = rest;
  if (data[0] & 1) {
    index = std::string(kIndexHeaderSize, '\0') + rest;
    index.replace(0, 8, reinterpret_cast<const char*>(kIndexMagic), 8);
    put_le(index, 8, kIndexVersion, 4);
    // The count: the records the body holds if it is well formed.
    put_le(index, 12, data[0] >> 1, 4);
    put_le(index, 16, payload.size(), 8);
    put_le(index, 24, crc_of(payload, 0), 4);
    put_le(index, 28, crc_of(index, kIndexHeaderSize), 4);
  }
  const std::u16string target = u"C:\\T";
  fake::reset_in_target(target);
  fake::state().payload = payload;
  fake::state().index = index;
  bool taken = false;
  try {
    taken = records_in_place() == InPlace::all;
  } catch (const FatalExit&) {
  }
  for (const auto& [path, contents] : fake::state().files)
    if (!fuzz_input::stays_inside(path, target)) abort();
  for (const std::u16string& dir : fake::state().directories)
    if (dir != target && !fuzz_input::stays_inside(dir, target)) abort();
  // The frame list's claims, checked again in arithmetic that cannot wrap.
  const unsigned char* at = reinterpret_cast<const unsigned char*>(index.data());
  IndexReader parsed;
  if (parse_index(at, index.size(), 1023, &parsed) && parsed.frames != nullptr) {
    unsigned __int128 stream = 2;
    for (IndexEntry entry; parsed.next(&entry);) stream += 2 * entry.units + 2 + 12 + entry.size;
    IndexFrame first = parsed.frame(0), last = parsed.frame(parsed.frame_count);
    if (first.payload_offset != 3 || first.stream_offset != 0 || last.stream_offset != stream ||
        (unsigned __int128)last.payload_offset + 8 > load_le64(at + 16))
      abort();
    for (uint32_t i = 1; i <= parsed.frame_count; ++i)
      if (parsed.frame(i).payload_offset <= parsed.frame(i - 1).payload_offset ||
          parsed.frame(i).stream_offset <= parsed.frame(i - 1).stream_offset)
        abort();
  }
  // Nothing is in place in an empty target but empty records.
  if (taken) {
    IndexReader reader;
    const std::atomic<bool> go_on{false};
    if (!parse_index(at, index.size(), 1023, &reader) ||
        !index_binds_payload(at, reinterpret_cast<const unsigned char*>(payload.data()), payload.size(), go_on))
      abort();
    for (IndexEntry entry; reader.next(&entry);)
      if (entry.size != 0) abort();
  }
  return 0;
}
