// The frames of a payload are independent: a thread decodes a whole frame into
// a buffer of its own and writes each piece of a file it holds at that piece's
// offset, so that the frames decode on every core at once and a file spanning
// several is written by several threads. What the record loop does in stream
// order is done first, on the main thread: the directories made, every file
// that is not in place created empty (and every empty record written again).
// The record loop's results follow without its order because no two records
// may land in one file here: names that the file system may take for one file
// leave the work to the loop.
#include "extract/frames.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "extract/checksum.h"
#include "extract/extract.h"
#include "extract/record_files.h"
#include "launcher/fatal.h"
#include "payload/decoder.h"
#include "payload/format.h"
#include "payload/index.h"
#include "payload/payload.h"
#include "platform/platform.h"

namespace {

// The largest frame decoded whole; the writer's frames are far smaller.
constexpr uint64_t kMaxFrame = 64u << 20;
// The decode buffers' share of the peak memory (see decoding_threads): two of
// the writer's largest frames, or five on more cores; and what a start on
// frames takes beside them, measured at its peak.
constexpr uint64_t kBuffersFewCores = 96u << 20;
constexpr uint64_t kBuffersManyCores = 240u << 20;
constexpr uint64_t kBesidesBuffers = 16u << 20;
// The record loop's largest write, for the reason given there.
constexpr uint32_t kWriteLimit = 64u << 10;
// As the reader on one thread releases the compressed pages behind it.
constexpr size_t kReleaseStep = 4u << 20;

struct Record {
  IndexEntry entry;
  uint64_t contents;  // where its contents begin in the record stream
  bool write;         // its file is not in place
  uint32_t held;      // an empty record's: the checksum of what its file holds now
  std::atomic<uint64_t> written;
};

// What went wrong first in stream order, for the main thread to report as the
// record loop would have.
enum class Fault { none, decode, open, write };

struct Work {
  const unsigned char* payload;
  uint64_t payload_size;
  const unsigned char* index;
  IndexReader frames;
  Record* records;
  size_t count;
  uint32_t* wanted;  // the frames to decode, in stream order
  size_t wanted_count;
  std::atomic<size_t> next{0};
  std::atomic<bool> stop{false};
  std::atomic<bool> unusable{false};

  std::mutex lock;
  Fault fault = Fault::none;
  uint64_t fault_at = UINT64_MAX;  // stream offset
  size_t fault_record = 0;
  uint32_t fault_error = 0;

  void fail(Fault what, uint64_t at, size_t record, uint32_t error) {
    std::lock_guard<std::mutex> hold(lock);
    if (at < fault_at) {
      fault = what;
      fault_at = at;
      fault_record = record;
      fault_error = error;
    }
    stop = true;
  }
};

// Two names that a case-insensitive file system may take for one file would
// be written by two threads into one file without truncation. Within ASCII the
// fold is known; past it, file systems differ (NTFS's upcase table, ext4's
// full Unicode fold), so a name with any other unit is taken to meet every name
// of the same length whose ASCII units fold alike, counting i, k and s as
// unknown there too (the dotless i, the Kelvin sign and the long s fold into
// them); and so is its full fold and normal form, where they change its length.
constexpr uint32_t kUnknown = 0x10000;

uint32_t ascii_folded(unsigned unit) {
  if (unit >= 'a' && unit <= 'z') unit -= 32;
  return unit == '/' ? '\\' : unit;
}

uint32_t loosely_folded(unsigned unit) {
  unit = ascii_folded(unit);
  return unit >= 0x80 || unit == 'I' || unit == 'K' || unit == 'S' ? kUnknown : unit;
}

// What the full fold makes of a unit that it lengthens, or null.
const char* expansion(unsigned unit) {
  switch (unit) {
    case 0xDF: case 0x1E9E: return "SS";
    case 0xFB00: return "FF";
    case 0xFB01: return "FI";
    case 0xFB02: return "FL";
    case 0xFB03: return "FFI";
    case 0xFB04: return "FFL";
    case 0xFB05: case 0xFB06: return "ST";
    default: return nullptr;
  }
}

struct NameKey {
  uint64_t hash;
  bool beyond_ascii;
  bool operator<(const NameKey& other) const { return hash < other.hash; }
};

constexpr uint64_t kHashStart = 14695981039346656037ull;
uint64_t mixed(uint64_t hash, uint32_t unit) { return (hash ^ unit) * 1099511628211ull; }

unsigned unit_at(const IndexEntry& e, size_t i) { return unsigned(e.name[2 * i]) | unsigned(e.name[2 * i + 1]) << 8; }

// A name's hash under ASCII folding alone, and its loose keys: as it is, and,
// where it has any, with the full fold's expansions made and each combining
// mark joined to the unit before it, as a normalizing file system takes "e"
// and a combining acute for one "é". Returns how many loose keys.
size_t name_keys(const IndexEntry& e, uint64_t* exact, NameKey* loose) {
  uint64_t as_is = kHashStart, changed = kHashStart;
  bool beyond = false, changes = false;
  *exact = kHashStart;
  uint32_t pending = 0;
  bool has_pending = false;
  auto put = [&](uint32_t unit) {
    if (has_pending) changed = mixed(changed, pending);
    pending = unit;
    has_pending = true;
  };
  for (size_t i = 0; i < e.units; ++i) {
    unsigned unit = unit_at(e, i);
    beyond = beyond || unit >= 0x80;
    *exact = mixed(*exact, ascii_folded(unit));
    as_is = mixed(as_is, loosely_folded(unit));
    const char* longer = expansion(unit);
    bool combining = unit >= 0x300 && unit <= 0x36F;
    changes = changes || longer != nullptr || combining;
    if (combining && has_pending)
      pending = kUnknown;
    else if (longer == nullptr)
      put(loosely_folded(unit));
    for (const char* c = longer; c != nullptr && *c != 0; ++c) put(loosely_folded(unsigned(*c)));
  }
  if (has_pending) changed = mixed(changed, pending);
  loose[0] = {as_is, beyond};
  loose[1] = {changed, true};
  return changes ? 2 : 1;
}

bool names_may_meet(const Record* records, size_t count) {
  std::unique_ptr<uint64_t[]> exact(new (std::nothrow) uint64_t[count]);
  std::unique_ptr<NameKey[]> loose(new (std::nothrow) NameKey[2 * count]);
  if (exact == nullptr || loose == nullptr) return true;
  size_t n = 0;
  for (size_t i = 0; i < count; ++i) n += name_keys(records[i].entry, &exact[i], &loose[n]);
  std::sort(exact.get(), exact.get() + count);
  if (std::adjacent_find(exact.get(), exact.get() + count) != exact.get() + count) return true;
  // A record whose file is another's folder: which of them stands is the
  // loop's order to decide, and files made for one would stop the other.
  for (size_t i = 0; i < count; ++i) {
    const IndexEntry& e = records[i].entry;
    uint64_t folder = kHashStart;
    for (size_t u = 0; u < e.units; ++u) {
      uint32_t unit = ascii_folded(unit_at(e, u));
      if (unit == '\\' && std::binary_search(exact.get(), exact.get() + count, folder)) return true;
      folder = mixed(folder, unit);
    }
  }
  // A loose key shared by names of ASCII alone is no meeting: they differ
  // where ASCII folds exactly.
  std::sort(loose.get(), loose.get() + n);
  for (size_t i = 0; i < n;) {
    size_t end = i;
    bool beyond = false;
    for (; end < n && loose[end].hash == loose[i].hash; ++end) beyond = beyond || loose[end].beyond_ascii;
    if (end - i > 1 && beyond) return true;
    i = end;
  }
  return false;
}

// Which files are not in place, on every thread; the first thread also checks
// that the index was made with this payload.
void check_records(Work* work, bool bind) {
  if (bind && !index_binds_payload(work->index, work->payload, work->payload_size, work->unusable))
    work->unusable = true;
  char16_t entry_name[kRecordNameCapacity];
  char16_t full[kPathCapacity];
  for (;;) {
    size_t i = work->next++;
    if (i >= work->count || work->unusable) return;
    Record& r = work->records[i];
    if (!index_entry_path(r.entry, entry_name, full)) {
      work->unusable = true;
      return;
    }
    uint32_t have = file_checksum(full);
    // Empty records are written again at every start, as the loop writes them.
    if (r.entry.size == 0) {
      r.write = true;
      r.held = have;
      continue;
    }
    r.write = have == 0 || have != r.entry.checksum;
  }
}

// Whether an empty record's file holds what a record with contents must hold:
// it may be that record's file under another name (one the file system folds
// with it, past ASCII case), and emptying it would undo that record, which the
// order of the loop decides.
bool may_hold_another(const Work* work) {
  for (size_t i = 0; i < work->count; ++i) {
    uint32_t held = work->records[i].held;
    if (work->records[i].entry.size != 0 || held == 0) continue;
    for (size_t k = 0; k < work->count; ++k)
      if (work->records[k].entry.size != 0 && work->records[k].entry.checksum == held) return true;
  }
  return false;
}

// The first record whose contents end past `offset`.
size_t first_ending_after(const Work* work, uint64_t offset) {
  const Record* begin = work->records;
  const Record* end = begin + work->count;
  const Record* at = std::upper_bound(begin, end, offset, [](uint64_t value, const Record& r) {
    return value < r.contents + r.entry.size;
  });
  return size_t(at - work->records);
}

// The pieces of files not in place that frame `f`, decoded into `bytes`, holds.
void write_frame(Work* work, uint32_t f, const unsigned char* bytes) {
  uint64_t start = work->frames.frame(f).stream_offset;
  uint64_t end = work->frames.frame(f + 1).stream_offset;
  char16_t entry_name[kRecordNameCapacity];
  char16_t full[kPathCapacity];
  for (size_t i = first_ending_after(work, start); i < work->count && work->records[i].contents < end; ++i) {
    Record& r = work->records[i];
    if (!r.write || r.entry.size == 0) continue;
    uint64_t from = std::max(start, r.contents);
    uint64_t to = std::min(end, r.contents + r.entry.size);
    index_entry_path(r.entry, entry_name, full);
    platform::OutputFile file{};
    if (!platform::open_for_writing_at(full, i == 0, &file)) {
      work->fail(Fault::open, from, i, 0);
      return;
    }
    for (uint64_t at = from; at < to;) {
      uint32_t n = uint32_t(std::min<uint64_t>(to - at, kWriteLimit));
      if (!platform::write_file_at(&file, at - r.contents, bytes + (at - start), n)) {
        work->fail(Fault::write, at, i, platform::last_error());
        break;
      }
      at += n;
      r.written += n;
    }
    platform::close_file(&file);
    if (work->stop) return;
  }
}

struct Decoder {
  ZSTD_DCtx* context = nullptr;
  unsigned char* buffer = nullptr;
  ~Decoder() {
    ZSTD_freeDCtx(context);
    free(buffer);
  }
};

// A frame decodes by the reader's own step, straight into the buffer (an
// output that stays put needs no window of its own), and must end where the
// index says with as many bytes as it says.
bool decode_frame(ZSTD_DCtx* context, const unsigned char* src, size_t src_size, unsigned char* to, size_t size) {
  ZSTD_frameHeader header;
  if (ZSTD_getFrameHeader(&header, src, src_size) != 0 || header.frameType != ZSTD_frame) return false;
  ZSTD_DCtx_reset(context, ZSTD_reset_session_only);
  FrameDecoder d{context, {src, src_size, 0}, 0, kReleaseStep, nullptr, false};
  ZSTD_outBuffer out = {to, size, 0};
  bool decodes = true;
  while (decodes && !(d.ended && d.input.pos == src_size)) {
    // Given in steps, or the whole frame would be taken in one call and its
    // pages stay resident beside the buffer until it ends: twice the frame
    // where it hardly compresses.
    d.input.size = std::min(src_size, d.input.pos + kReleaseStep);
    size_t taken = d.input.pos, made = out.pos;
    decodes = d.step(&out) && (d.input.pos != taken || out.pos != made);
  }
  platform::release_pages(src + d.released, src_size - d.released);
  return decodes && out.pos == size;
}

void decode_frames(Work* work, Decoder* decoder) {
  for (;;) {
    size_t k = work->next++;
    if (k >= work->wanted_count || work->stop) return;
    uint32_t f = work->wanted[k];
    IndexFrame begin = work->frames.frame(f), end = work->frames.frame(f + 1);
    if (!decode_frame(decoder->context, work->payload + begin.payload_offset,
                      size_t(end.payload_offset - begin.payload_offset), decoder->buffer,
                      size_t(end.stream_offset - begin.stream_offset))) {
      work->fail(Fault::decode, begin.stream_offset, 0, 0);
      return;
    }
    write_frame(work, f, decoder->buffer);
  }
}

// Runs `job` on `threads` threads, the calling one among them; fewer when a
// thread cannot be had.
template <typename Job>
void on_threads(unsigned threads, Job job) {
  std::thread others[8];
  unsigned started = 0;
  for (; started + 1 < threads && started < 8; ++started) {
    try {
      others[started] = std::thread(job, started + 1);
    } catch (const std::system_error&) {
      break;
    } catch (const std::bad_alloc&) {
      break;
    }
  }
  job(0u);
  for (unsigned i = 0; i < started; ++i) others[i].join();
}

// Every file not in place, and every empty record, as the record loop leaves
// them before it writes their contents; the first record's path is the child's.
// False, before anything is decoded, at a file it cannot open: the record loop
// then writes the files before that one and stops there, where stopping here
// would leave them empty.
bool create_files(Work* work) {
  char16_t entry_name[kRecordNameCapacity];
  char16_t full[kPathCapacity];
  for (size_t i = 0; i < work->count; ++i) {
    const Record& r = work->records[i];
    index_entry_path(r.entry, entry_name, full);
    if (i == 0) wide_copy(child_executable_path, kPathCapacity, full);
    platform::OutputFile file{};
    RecordFile made = r.write ? create_record_file(full, r.entry.size, i == 0, &file) : RecordFile::held_empty;
    if (made == RecordFile::refused) return false;
    if (made == RecordFile::open) platform::close_file(&file);
  }
  return true;
}

unsigned thread_count(size_t jobs) {
  unsigned cores = std::min(platform::processor_count(), 8u);
  return unsigned(std::min<size_t>(cores, jobs == 0 ? 1 : jobs));
}

// How many threads decode frames of at most `largest` bytes, each into a
// buffer of its own. Allocations rarely fail under overcommit, so the buffers
// are bounded before they are taken: a container of many cores and little
// memory would otherwise be killed at every start. They take at most
// kBuffersFewCores on up to two cores and kBuffersManyCores on more, and with
// what the start takes besides, a quarter of the memory the process may have
// now; 0 where not even one fits.
unsigned decoding_threads(size_t frames, uint64_t largest) {
  if (frames == 0) return 0;
  unsigned cores = platform::processor_count();
  uint64_t budget = cores <= 2 ? kBuffersFewCores : kBuffersManyCores;
  uint64_t quarter = platform::memory_available() / 4;
  budget = std::min(budget, quarter > kBesidesBuffers ? quarter - kBesidesBuffers : 0);
  return unsigned(std::min<uint64_t>(thread_count(frames), budget / std::max<uint64_t>(largest, 1)));
}

// The frames that hold bytes of files to write.
size_t wanted_frames(Work* work) {
  size_t n = 0;
  for (uint32_t f = 0; f < work->frames.frame_count; ++f) {
    uint64_t start = work->frames.frame(f).stream_offset, end = work->frames.frame(f + 1).stream_offset;
    for (size_t i = first_ending_after(work, start); i < work->count && work->records[i].contents < end; ++i) {
      if (work->records[i].write && work->records[i].entry.size != 0) {
        work->wanted[n++] = f;
        break;
      }
    }
  }
  return n;
}

// A frame that does not decode as listed (damaged, or an index that lists it
// wrongly) hands the work to the record loop, which says where the stream
// fails, as the reader on one thread does, or finds it sound. A file left in
// part by a later frame would look like neither what the loop leaves nor the
// record: it is left empty, to be written whole by the next start. So are the
// files that other threads leave in part when one cannot write, and the one
// whose write failed, which may hold part of that write.
void empty_what_is_written_in_part(Work* work) {
  char16_t entry_name[kRecordNameCapacity];
  char16_t full[kPathCapacity];
  for (size_t i = 0; i < work->count; ++i) {
    const Record& r = work->records[i];
    if (!r.write || r.written == r.entry.size) continue;
    index_entry_path(r.entry, entry_name, full);
    platform::OutputFile file{};
    if (platform::open_for_writing(full, i == 0, &file)) platform::close_file(&file);
  }
}

// Where the record loop would stop for a file it cannot open or write.
[[noreturn]] void report(Work* work) {
  char16_t entry_name[kRecordNameCapacity];
  char16_t full[kPathCapacity];
  index_entry_path(work->records[work->fault_record].entry, entry_name, full);
  if (work->fault == Fault::open) fatal_open_error(full);
  fatal_system_error("Error, couldn't unpack file to target path.", work->fault_error);
}

bool run(Work* work) {
  IndexReader reader = work->frames;
  uint64_t at = 0;
  size_t count = 0;
  for (IndexEntry entry; reader.next(&entry); ++count) {
    at += 2 * entry.units + 2 + 12;
    Record& r = work->records[count];
    r.entry = entry;
    r.contents = at;
    r.write = false;
    r.held = 0;
    r.written = 0;
    at += entry.size;
  }
  if (names_may_meet(work->records, count)) return false;
  unsigned checkers = thread_count(work->count);
  on_threads(checkers, [work](unsigned id) { check_records(work, id == 0); });
  if (work->unusable || may_hold_another(work)) return false;

  work->wanted_count = wanted_frames(work);
  uint64_t largest = 0;
  for (size_t k = 0; k < work->wanted_count; ++k)
    largest = std::max(largest, work->frames.frame(work->wanted[k] + 1).stream_offset -
                                    work->frames.frame(work->wanted[k]).stream_offset);
  if (largest > kMaxFrame) return false;
  unsigned threads = decoding_threads(work->wanted_count, largest);
  if (threads == 0 && work->wanted_count != 0) return false;
  Decoder decoders[8];
  // A buffer that cannot be had all the same means one thread fewer, none at
  // all the record loop.
  unsigned ready = 0;
  for (; ready < threads; ++ready) {
    decoders[ready].context = ZSTD_createDCtx();
    decoders[ready].buffer = static_cast<unsigned char*>(malloc(size_t(largest)));
    if (decoders[ready].context == nullptr || decoders[ready].buffer == nullptr ||
        ZSTD_isError(ZSTD_DCtx_setParameter(decoders[ready].context, ZSTD_d_stableOutBuffer, 1)))
      break;
  }
  if (ready == 0 && work->wanted_count != 0) return false;
  if (!create_files(work)) return false;
  work->next = 0;
  if (ready != 0) on_threads(ready, [work, &decoders](unsigned id) { decode_frames(work, &decoders[id]); });
  if (work->fault == Fault::none) return true;
  empty_what_is_written_in_part(work);
  if (work->fault == Fault::decode) return false;
  report(work);
}

}  // namespace

bool extract_frames() {
  IndexBytes index = embedded_index();
  PayloadBytes payload = embedded_payload();
  Work work;
  if (index.size == 0 || !parse_index(index.data, index.size, kRecordNameCapacity - 1, &work.frames) ||
      work.frames.frame_count < 2 || work.frames.frame(work.frames.frame_count).payload_offset > payload.size)
    return false;
  work.payload = payload.data;
  work.payload_size = payload.size;
  work.index = index.data;
  work.count = work.frames.remaining;
  // Freed as a fatal stop unwinds too (in the tests, where it throws).
  std::unique_ptr<Record[]> records(new (std::nothrow) Record[work.count]);
  std::unique_ptr<uint32_t[]> wanted(new (std::nothrow) uint32_t[work.frames.frame_count]);
  work.records = records.get();
  work.wanted = wanted.get();
  return records != nullptr && wanted != nullptr && run(&work);
}
