#include "tools/launcher_file.h"

#include <algorithm>
#include <cstring>

#include "common/little_endian.h"
#include "payload/attached.h"
#include "tools/failure.h"
#include "tools/stub_image.h"

const char* const kStringNames[6] = {"target spec", "company", "product", "version", "file version",
                                     "product version"};

namespace {

using Bytes = std::vector<unsigned char>;

LauncherFile from_block(const Bytes& file, uint64_t offset, uint64_t size, const std::string& kind) {
  AttachedBlock block;
  if (!parse_attached_block(file.data() + offset, size, &block)) throw Failure("its attached block is damaged");
  LauncherFile found;
  found.kind = kind;
  found.payload = {uint64_t(block.payload - file.data()), block.payload_size};
  found.indexed = block.index != nullptr && block.index_size != 0;
  if (found.indexed) found.index = {uint64_t(block.index - file.data()), block.index_size};
  found.has_strings = true;
  for (uint32_t i = 0; i < kAttachedStringCount; ++i) found.strings[i] = block.strings[i];
  return found;
}

// Where a signed offset from the marker points, unless before the file's start.
// The distance back is taken unsigned: negating the most negative offset, which
// any file may hold, would overflow.
bool marked_place(uint64_t marker, const unsigned char* field, uint64_t* at) {
  uint64_t relative = load_le64(field);
  if (int64_t(relative) < 0 && 0 - relative > marker) return false;
  *at = marker + relative;
  return true;
}

// A range at a signed offset from the marker, inside the file.
bool marked_range(const Bytes& file, uint64_t marker, const unsigned char* field, Range* out) {
  uint64_t at = 0, size = load_le64(field + 8);
  if (!marked_place(marker, field, &at)) return false;
  if (at > file.size() || size > file.size() - at) return false;
  *out = {at, size};
  return true;
}

// A string at a signed offset from the marker, up to its zero unit.
bool marked_string(const Bytes& file, uint64_t marker, const unsigned char* field, std::u16string* out) {
  uint64_t at = 0;
  if (!marked_place(marker, field, &at)) return false;
  out->clear();
  for (; at + 1 < file.size(); at += 2) {
    char16_t unit = char16_t(load_le16(&file[at]));
    if (unit == 0) return true;
    out->push_back(unit);
  }
  return false;
}

// The marker of a launcher built by CMake. The magic may occur elsewhere too
// (in mordax-pack itself, which searches for it): only a marker whose every
// field fits the file counts.
bool from_marker(const Bytes& file, const std::string& target, LauncherFile* out) {
  const unsigned char* magic = kBuiltMarkerMagic;
  for (auto at = file.begin();; ++at) {
    at = std::search(at, file.end(), magic, magic + sizeof kBuiltMarkerMagic);
    if (at == file.end()) return false;
    uint64_t marker = uint64_t(at - file.begin());
    if (file.size() - marker < kBuiltMarkerSize) return false;
    const unsigned char* m = &file[marker];
    if (load_le32(m + 8) != kBuiltMarkerVersion || load_le32(m + 12) != kBuiltMarkerSize) continue;
    LauncherFile found;
    bool fits = marked_range(file, marker, m + 64, &found.payload) && marked_range(file, marker, m + 80, &found.index);
    for (int i = 0; fits && i < 6; ++i) fits = marked_string(file, marker, m + 16 + 8 * i, &found.strings[i]);
    if (!fits) continue;
    found.kind = target + " launcher built by CMake";
    found.indexed = found.index.size != 0;
    found.has_strings = true;
    *out = found;
    return true;
  }
}

[[noreturn]] void no_payload(const Bytes& file, const std::string& what) {
  if (!stub_marker_target(file).empty()) throw Failure("an unfinished launcher stub: it carries no payload");
  throw Failure(what + " that carries no payload");
}

}  // namespace

LauncherFile find_payload(const Bytes& file) {
  LauncherFile found;
  if (file.size() >= 4 && memcmp(file.data(), "\x7f" "ELF", 4) == 0) {
    if (file.size() >= kAttachedFooterSize &&
        memcmp(&file[file.size() - sizeof kAttachedFooterMagic], kAttachedFooterMagic, sizeof kAttachedFooterMagic) == 0) {
      unsigned char footer[kAttachedFooterSize];
      memcpy(footer, &file[file.size() - kAttachedFooterSize], kAttachedFooterSize);
      uint64_t offset = 0, size = 0;
      if (!parse_attached_footer(footer, file.size(), &offset, &size)) throw Failure("its block footer is damaged");
      return from_block(file, offset, size, "linux-x64 launcher finished from the stub");
    }
    if (from_marker(file, "linux-x64", &found)) return found;
    no_payload(file, "a Linux executable");
  }
  if (file.size() >= 2 && file[0] == 'M' && file[1] == 'Z') {
    uint64_t offset = 0, size = 0;
    if (windows_section(file, kWindowsSectionName, &offset, &size))
      return from_block(file, offset, size, "windows-x64 launcher finished from the stub");
    if (from_marker(file, "windows-x64", &found)) return found;
    no_payload(file, "a Windows executable");
  }
  found.kind = "payload";
  found.payload = {0, file.size()};
  return found;
}
