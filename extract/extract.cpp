#include "extract/extract.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "common/little_endian.h"
#include "extract/checksum.h"
#include "extract/directories.h"
#include "extract/names.h"
#include "extract/record_files.h"
#include "launcher/fatal.h"
#include "payload/format.h"
#include "payload/index.h"
#include "payload/payload.h"
#include "platform/platform.h"

char16_t target_directory[kPathCapacity];
char16_t child_executable_path[kPathCapacity];

// target_directory + separator + name into `full`; record names use '\\' and
// take the platform's separator here.
bool compose_path(const char16_t* record_name, char16_t* full) {
  WideWriter path = WideWriter::replace(full, kPathCapacity);
  path.put(target_directory);
  path.put(platform::path_separator);
  for (const char16_t* unit = record_name; *unit != 0; ++unit)
    path.put(*unit == kRecordSeparator ? platform::path_separator : *unit);
  return path.ok;
}

// An empty file has no checksum, so an empty record is written again at every
// start; when a running instance of the application holds that file open, the
// file already has the record's contents (none), and the start goes on instead
// of failing.
RecordFile create_record_file(const char16_t* path, uint64_t size, bool first_record, platform::OutputFile* file) {
  create_containing_directories(path);
  if (platform::open_for_writing(path, first_record, file)) return RecordFile::open;
  return size == 0 && platform::is_empty_file(path) ? RecordFile::held_empty : RecordFile::refused;
}

bool open_record_file(const char16_t* path, uint64_t size, bool first_record, platform::OutputFile* file) {
  RecordFile made = create_record_file(path, size, first_record, file);
  if (made == RecordFile::refused) fatal_open_error(path);
  return made == RecordFile::open;
}

bool index_entry_path(const IndexEntry& entry, char16_t* entry_name, char16_t* full) {
  if (entry.units >= kRecordNameCapacity) return false;
  for (size_t i = 0; i < entry.units; ++i) entry_name[i] = load_le16(entry.name + 2 * i);
  entry_name[entry.units] = 0;
  return compose_path(entry_name, full) && record_name_stays_inside(entry_name);
}

namespace {

constexpr uint32_t kCopyChunk = 32768;
// Writes straight from a reader on two cores go out two chunks at a time: a
// larger write has the page cache take large folios, which come from the same
// free memory huge pages do, cold on a virtual machine that hands it back to its
// host (a first start here took 0.82 s with 4 MiB writes, 0.63 s with these).
constexpr uint32_t kWriteLimit = 2 * kCopyChunk;

char16_t name[kRecordNameCapacity];
char16_t record_path[kPathCapacity];
unsigned char copy_buffer[kCopyChunk];

// Reads the rest of a name whose first unit is already in name[0]. Returns
// false when the name does not fit its buffer; the stream is then read past the
// name's end all the same.
bool read_name_rest() {
  size_t n = 1;
  for (;;) {
    char16_t unit;
    payload_read(&unit, sizeof unit);
    if (n < kRecordNameCapacity) name[n] = unit;
    if (unit == 0) return n < kRecordNameCapacity;
    ++n;
  }
}

bool compose_record_path() { return compose_path(name, record_path); }

// The check of a later start, shared by both cores: the files are handed out
// one at a time, and the first mismatch ends the work on both.
struct IndexCheck {
  std::mutex lock;
  IndexReader next;
  std::atomic<bool> mismatch{false};
  std::atomic<bool> file_differs{false};
};

// Whatever goes wrong here (no memory for a name, say) only means that the
// record loop does the work.
void check_files(IndexCheck* check) {
  char16_t entry_name[kRecordNameCapacity];
  char16_t full[kPathCapacity];
  try {
    for (IndexEntry entry;;) {
      {
        std::lock_guard<std::mutex> hold(check->lock);
        if (check->mismatch || !check->next.next(&entry)) return;
      }
      if (!index_entry_path(entry, entry_name, full)) break;
      if (entry.size == 0) continue;
      uint32_t have = file_checksum(full);
      if (have == 0 || have != entry.checksum) {
        check->file_differs = true;
        break;
      }
    }
  } catch (...) {
  }
  check->mismatch = true;
}

// Below this payload size a second thread costs more than it saves.
constexpr uint64_t kTwoCoreCheckFloor = 4u << 20;

// Whether the index was made with the payload and every file with contents is
// in place. A second thread checks the payload, then joins in on the files; a
// file found out of place ends the payload's check as well.
InPlace index_and_files_match(const IndexReader& reader, const unsigned char* index, const PayloadBytes& payload) {
  IndexCheck check;
  check.next = reader;
  auto check_payload_then_files = [&] {
    if (!index_binds_payload(index, payload.data, payload.size, check.mismatch)) check.mismatch = true;
    check_files(&check);
  };
  std::thread helper;
  if (payload.size >= kTwoCoreCheckFloor) {
    try {
      helper = std::thread(check_payload_then_files);
    } catch (const std::system_error&) {
      // No second thread to be had: the main thread does it all.
    } catch (const std::bad_alloc&) {
      // Nor the memory to start one.
    }
  }
  if (helper.joinable()) {
    check_files(&check);
    helper.join();
  } else {
    check_payload_then_files();
  }
  if (!check.mismatch) return InPlace::all;
  return check.file_differs ? InPlace::missing : InPlace::unknown;
}

// Moves the record's contents into the file in chunks of kCopyChunk. Whole
// chunks that a reader on two cores holds in place are written straight from
// it; a chunk that straddles the end of what it holds goes through the copy
// buffer. Either way a decoding failure leaves the file holding the same whole
// chunks.
void write_contents(platform::OutputFile* file, uint64_t size) {
  for (uint64_t remaining = size; remaining > 0;) {
    const unsigned char* in_place;
    size_t n = payload_view(remaining < kWriteLimit ? remaining : kWriteLimit, &in_place);
    if (n < remaining) n -= n % kCopyChunk;
    if (n > 0) {
      if (!platform::write_file(file, in_place, uint32_t(n))) fatal_unpack_error();
      payload_skip(n);
      remaining -= n;
      continue;
    }
    uint32_t chunk = remaining < kCopyChunk ? uint32_t(remaining) : kCopyChunk;
    payload_read(copy_buffer, chunk);
    if (!platform::write_file(file, copy_buffer, chunk)) fatal_unpack_error();
    remaining -= chunk;
  }
}

// Whether an empty record's file, holding contents whose record checksum is
// `have`, may be the file of a record after it (`after`) with those contents:
// the same name twice, or names that the file system folds into one, as
// Windows does with case. Emptying it would then undo that later record, which
// the record loop writes again after emptying it.
bool may_be_a_later_records_file(IndexReader after, uint32_t have) {
  if (have == 0) return false;
  for (IndexEntry entry; after.next(&entry);)
    if (entry.size != 0 && entry.checksum == have) return true;
  return false;
}

}  // namespace

InPlace records_in_place() {
  IndexBytes index = embedded_index();
  PayloadBytes payload = embedded_payload();
  IndexReader reader;
  // Every file with contents must match before anything is written: until
  // then, a mismatch leaves the work to the record loop, as if there were no
  // index.
  if (index.size == 0 || !parse_index(index.data, index.size, kRecordNameCapacity - 1, &reader))
    return InPlace::unknown;
  InPlace found = index_and_files_match(reader, index.data, payload);
  if (found != InPlace::all) return found;
  IndexReader after = reader;
  for (IndexEntry entry; after.next(&entry);) {
    if (entry.size != 0) continue;
    index_entry_path(entry, name, record_path);
    if (may_be_a_later_records_file(after, file_checksum(record_path))) return InPlace::missing;
  }
  // What the record loop would still do: empty records are written again, and
  // the first record is the child.
  bool first_record = true;
  for (IndexEntry entry; reader.next(&entry); first_record = false) {
    if (!first_record && entry.size != 0) continue;
    index_entry_path(entry, name, record_path);
    if (first_record) wide_copy(child_executable_path, kPathCapacity, record_path);
    platform::OutputFile file{};
    if (entry.size == 0 && open_record_file(record_path, 0, first_record, &file)) platform::close_file(&file);
  }
  return InPlace::all;
}

void extract_records() {
  for (;;) {
    unsigned char first[2];
    payload_read(first, 2);
    name[0] = load_le16(first);
    if (name[0] == 0) return;
    // Units arrive little-endian; both targets are little-endian machines, so a
    // unit read straight into the buffer is the unit itself.
    if (!read_name_rest() || !compose_record_path())
      fatal_error("Error, record path too long for the target directory.");
    if (!record_name_stays_inside(name)) fatal_error("Error, unsafe file name in attached data.");
    bool first_record = child_executable_path[0] == 0;
    if (first_record) wide_copy(child_executable_path, kPathCapacity, record_path);

    unsigned char fields[12];
    payload_read(fields, sizeof fields);
    uint64_t size = load_le64(fields);
    uint32_t stored = load_le32(fields + 8);

    platform::OutputFile file{};
    // 0 is no usable file, whatever the stored value: a stored 0 (never written
    // by the writer) must not let an absent file pass as matching.
    uint32_t existing = file_checksum(record_path);
    bool writing = (existing == 0 || existing != stored) && open_record_file(record_path, size, first_record, &file);
    if (!writing) {
      // The file in place is kept: its contents are decoded but go nowhere,
      // chunk by chunk as they would be written. Past the input's end a read
      // of more than one decoding step may go on where reads of a chunk stop.
      for (uint64_t remaining = size; remaining > 0;) {
        uint64_t chunk = remaining < kCopyChunk ? remaining : kCopyChunk;
        payload_skip(chunk);
        remaining -= chunk;
      }
      continue;
    }
    write_contents(&file, size);
    platform::close_file(&file);
  }
}
