// Cuts a launcher down to the bytes the payload finder reads: the executable's
// headers, then its attached block or its marker with all the marker names.
// A launcher is hundreds of KiB of code the finder passes over; as a fuzz seed
// it would slow every input built from it. Checks that the cut file gives the
// same payload, index and strings as the launcher.
//   shrink_launcher LAUNCHER OUT
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/little_endian.h"
#include "payload/attached.h"
#include "tools/failure.h"
#include "tools/launcher_file.h"
#include "tools/stub_image.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr size_t kElfHeaderSize = 64;

Bytes slice(const Bytes& file, uint64_t offset, uint64_t size) {
  return Bytes(file.begin() + offset, file.begin() + offset + size);
}

bool same(const LauncherFile& a, const Bytes& file_a, const LauncherFile& b, const Bytes& file_b) {
  if (a.kind != b.kind || a.indexed != b.indexed || a.has_strings != b.has_strings) return false;
  if (slice(file_a, a.payload.offset, a.payload.size) != slice(file_b, b.payload.offset, b.payload.size)) return false;
  if (a.indexed && slice(file_a, a.index.offset, a.index.size) != slice(file_b, b.index.offset, b.index.size))
    return false;
  return std::equal(std::begin(a.strings), std::end(a.strings), std::begin(b.strings));
}

// The PE headers, with the raw data of `section`, if named, moved to just
// after them.
Bytes pe_headers(const Bytes& file, const char* section) {
  uint32_t nt = load_le32(&file[0x3C]);
  uint32_t count = load_le16(&file[nt + 6]), optional_size = load_le16(&file[nt + 20]);
  Bytes headers = slice(file, 0, load_le32(&file[nt + 24 + 60]));
  for (uint32_t i = 0; section != nullptr && i < count; ++i) {
    unsigned char* s = &headers[nt + 24 + optional_size + 40 * i];
    if (memcmp(s, section, 8) == 0) store_le32(s + 20, uint32_t(headers.size()));
  }
  return headers;
}

// A launcher finished from a stub: its headers, the block, and where the block
// now lies.
Bytes cut_finished(const Bytes& file, bool elf) {
  if (elf) {
    unsigned char footer[kAttachedFooterSize];
    memcpy(footer, &file[file.size() - kAttachedFooterSize], kAttachedFooterSize);
    uint64_t offset = 0, size = 0;
    parse_attached_footer(footer, file.size(), &offset, &size);
    Bytes out = slice(file, 0, kElfHeaderSize);
    Bytes block = slice(file, offset, size);
    out.insert(out.end(), block.begin(), block.end());
    store_le64(footer, kElfHeaderSize);
    out.insert(out.end(), footer, footer + kAttachedFooterSize);
    return out;
  }
  uint64_t offset = 0, size = 0;
  windows_section(file, kWindowsSectionName, &offset, &size);
  Bytes out = pe_headers(file, kWindowsSectionName);
  Bytes block = slice(file, offset, size);
  out.insert(out.end(), block.begin(), block.end());
  return out;
}

// A launcher built by CMake, cut at the marker at `marker`: its headers, then
// the stretch of its section from the first to the last byte the marker names,
// which keeps every offset from the marker as it was.
Bytes cut_built(const Bytes& file, bool elf, uint64_t marker, const LauncherFile& found) {
  uint64_t first = std::min(marker, found.payload.offset), last = std::max(marker + kBuiltMarkerSize, found.payload.offset + found.payload.size);
  first = std::min(first, found.index.offset);
  last = std::max(last, found.index.offset + found.index.size);
  for (int i = 0; i < 6; ++i) {
    uint64_t at = marker + load_le64(&file[marker + 16 + 8 * i]);
    first = std::min(first, at);
    last = std::max(last, at + 2 * (found.strings[i].size() + 1));
  }
  if (last > file.size()) return {};
  Bytes out = elf ? slice(file, 0, kElfHeaderSize) : pe_headers(file, nullptr);
  Bytes stretch = slice(file, first, last - first);
  out.insert(out.end(), stretch.begin(), stretch.end());
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: shrink_launcher LAUNCHER OUT\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  try {
    const LauncherFile found = find_payload(file);
    bool elf = found.kind.compare(0, 10, "linux-x64 ") == 0;
    std::vector<Bytes> candidates;
    if (found.kind.find("finished from the stub") != std::string::npos) {
      candidates.push_back(cut_finished(file, elf));
    } else if (found.kind.find("built by CMake") != std::string::npos) {
      // The magic may occur before the marker the finder took.
      const unsigned char* magic = kBuiltMarkerMagic;
      for (auto at = file.begin(); (at = std::search(at, file.end(), magic, magic + 8)) != file.end(); ++at)
        if (file.end() - at >= kBuiltMarkerSize) candidates.push_back(cut_built(file, elf, at - file.begin(), found));
    }
    for (const Bytes& cut : candidates) {
      if (cut.empty()) continue;
      try {
        if (!same(found, file, find_payload(cut), cut)) continue;
      } catch (const Failure&) {
        continue;
      }
      std::ofstream(argv[2], std::ios::binary).write(reinterpret_cast<const char*>(cut.data()), std::streamsize(cut.size()));
      return 0;
    }
    fprintf(stderr, "shrink_launcher: %s: a %s that cannot be cut down\n", argv[1], found.kind.c_str());
  } catch (const Failure& failure) {
    fprintf(stderr, "shrink_launcher: %s: %s\n", argv[1], failure.what());
  }
  return 1;
}
