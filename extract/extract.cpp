#include "extract/extract.h"

#include <cstdint>

#include "extract/checksum.h"
#include "extract/directories.h"
#include "launcher/fatal.h"
#include "launcher/launch.h"
#include "payload/format.h"
#include "payload/payload.h"
#include "platform/platform.h"

char16_t child_executable_path[kPathCapacity];

namespace {

constexpr uint32_t kCopyChunk = 32768;

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

// The writer never makes a name that climbs out of the target directory, but
// the launcher does not rely on it: a component of only dots and spaces with
// two dots or more ("..", and what Windows turns into "..") is refused, with
// '/' taken as a separator too, as both targets take it.
bool name_stays_inside() {
  size_t dots = 0;
  bool only_dots_and_spaces = true;
  for (const char16_t* unit = name;; ++unit) {
    if (*unit == kRecordSeparator || *unit == u'/' || *unit == 0) {
      if (only_dots_and_spaces && dots >= 2) return false;
      if (*unit == 0) return true;
      dots = 0;
      only_dots_and_spaces = true;
    } else if (*unit == u'.') {
      ++dots;
    } else if (*unit != u' ') {
      only_dots_and_spaces = false;
    }
  }
}

// target_directory + separator + name; record names use '\' and take the
// platform's separator here.
bool compose_record_path() {
  WideWriter path = WideWriter::replace(record_path, kPathCapacity);
  path.put(target_directory);
  path.put(platform::path_separator);
  for (const char16_t* unit = name; *unit != 0; ++unit)
    path.put(*unit == kRecordSeparator ? platform::path_separator : *unit);
  return path.ok;
}

template <typename T>
T read_little_endian() {
  unsigned char bytes[sizeof(T)];
  payload_read(bytes, sizeof bytes);
  T value = 0;
  for (size_t i = sizeof(T); i-- > 0;) value = T(value << 8) | bytes[i];
  return value;
}

}  // namespace

void extract_records() {
  for (;;) {
    unsigned char first[2];
    payload_read(first, 2);
    name[0] = char16_t(first[0] | (first[1] << 8));
    if (name[0] == 0) return;
    // Units arrive little-endian; both targets are little-endian machines, so a
    // unit read straight into the buffer is the unit itself.
    if (!read_name_rest() || !compose_record_path())
      fatal_error("Error, record path too long for the target directory.");
    if (!name_stays_inside()) fatal_error("Error, unsafe file name in attached data.");
    bool first_record = child_executable_path[0] == 0;
    if (first_record) wide_copy(child_executable_path, kPathCapacity, record_path);

    uint64_t size = read_little_endian<uint64_t>();
    uint32_t stored = read_little_endian<uint32_t>();

    platform::OutputFile file{};
    // 0 is no usable file, whatever the stored value: a stored 0 (never written
    // by the writer) must not let an absent file pass as matching.
    uint32_t existing = file_checksum(record_path);
    bool writing = existing == 0 || existing != stored;
    if (writing) {
      create_containing_directories(record_path);
      // An empty file has no checksum, so an empty record is written again at
      // every start; when a running instance of the application holds that
      // file open, the file already has the record's contents (none), and the
      // start goes on instead of failing.
      if (!platform::open_for_writing(record_path, first_record, &file)) {
        if (size != 0 || !platform::is_empty_file(record_path)) fatal_open_error(record_path);
        writing = false;
      }
    }
    if (!writing) {
      // The file in place is kept: its contents are decoded but go nowhere.
      payload_skip(size);
      continue;
    }
    for (uint64_t remaining = size; remaining > 0;) {
      uint32_t n = remaining < kCopyChunk ? uint32_t(remaining) : kCopyChunk;
      payload_read(copy_buffer, n);
      if (!platform::write_file(&file, copy_buffer, n)) fatal_unpack_error();
      remaining -= n;
    }
    platform::close_file(&file);
  }
}
