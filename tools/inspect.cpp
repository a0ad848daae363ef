#include "tools/inspect.h"

#define ZSTD_STATIC_LINKING_ONLY  // the frame header's fields
#include <zlib.h>
#include <zstd.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/little_endian.h"
#include "common/utf.h"
#include "extract/names.h"
#include "payload/format.h"
#include "payload/index.h"
#include "tools/create_below.h"
#include "tools/failure.h"
#include "tools/host.h"
#include "tools/launcher_file.h"
#include "tools/pack_names.h"
#include "tools/record_walk.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<unsigned char>;

// `name` is UTF-8, as every name the writer handles.
Bytes read_file(const std::string& name) {
  std::error_code ec;
  uintmax_t size = fs::file_size(fs::u8path(name), ec);
  if (ec) throw Failure(name + ": " + ec.message());
  Bytes bytes(static_cast<size_t>(size));
  FILE* in = host_open(name, "rb");
  if (in == nullptr) throw Failure(name + ": " + strerror(errno));
  bool whole = fread(bytes.data(), 1, bytes.size(), in) == bytes.size();
  fclose(in);
  if (!whole) throw Failure(name + ": read error");
  return bytes;
}

void say(const std::string& line) { host_print(false, line + "\n"); }

std::string hex32(uint32_t value) {
  char text[9];
  snprintf(text, sizeof text, "%08" PRIx32, value);
  return text;
}

std::string utf8(const std::u16string& text) {
  std::string out;
  return utf16_to_utf8(text.c_str(), &out) ? out : shown_name(text);
}

std::string record_shown(const RecordHeader& r) {
  return "record " + std::to_string(r.number) + " (" + shown_name(r.name) + ")";
}

void check_checksum(const RecordHeader& r, uint32_t checksum) {
  if (checksum != r.stored)
    throw Failure(record_shown(r) + ": stored checksum " + hex32(r.stored) + ", the contents give " + hex32(checksum));
}

// ---- list ------------------------------------------------------------------

struct Lister : RecordVisitor {
  void begin(const RecordHeader& r) override {
    char size[32];
    snprintf(size, sizeof size, "%12" PRIu64, r.size);
    say(std::string(size) + "  " + hex32(r.stored) + "  " + shown_name(r.name));
  }
  void end(const RecordHeader&, uint32_t) override {}
};

void list(const Bytes& file, const LauncherFile& found) {
  say(found.kind);
  if (found.has_strings)
    for (int i = 0; i < 6; ++i) say(std::string(kStringNames[i]) + ": " + utf8(found.strings[i]));
  if (found.indexed) say("index: " + std::to_string(found.index.size) + " bytes");
  Lister lister;
  StreamEnd end;
  walk_records(file.data() + found.payload.offset, found.payload.size, lister, &end);
  say("frames: " + std::to_string(end.frames.size() - 1));
}

// ---- verify ----------------------------------------------------------------

std::string mebibytes(uint64_t bytes) {
  if (bytes >= (1u << 20)) return std::to_string(bytes >> 20) + " MiB";
  return std::to_string(bytes >> 10) + " KiB";
}

constexpr uint64_t kWindow = uint64_t(1) << kPayloadWindowLog;

// One frame as the layout holds it: where it ends, and its window.
struct FoundFrame {
  uint64_t end, window;
};

// The layout around the frames and their headers, before anything is decoded:
// frames one after another from the magic on, while the next bytes begin one,
// then the padding and the trailer. The first frame is "the frame", as in a
// payload of one.
std::vector<FoundFrame> check_frames(const unsigned char* p, uint64_t size) {
  if (size < sizeof kPayloadMagic || memcmp(p, kPayloadMagic, sizeof kPayloadMagic) != 0)
    throw Failure("the payload does not begin with the magic \"QOB\"");
  if (size < sizeof kPayloadMagic + 8 || load_le64(p + size - 8) != size - 8)
    throw Failure("the last 8 bytes do not hold the trailer's own offset");
  uint64_t trailer = size - 8;
  if (trailer % kPayloadAlignment != 0) throw Failure("the trailer is not at a multiple of 8");
  std::vector<FoundFrame> frames;
  uint64_t at = sizeof kPayloadMagic;
  do {
    const unsigned char* frame = p + at;
    size_t room = size_t(trailer - at);
    bool first = frames.empty();
    std::string name = first ? "the frame" : "frame " + std::to_string(frames.size() + 1);
    ZSTD_frameHeader header;
    size_t wanted = ZSTD_getFrameHeader(&header, frame, room);
    if (ZSTD_isError(wanted) || wanted != 0 || header.frameType != ZSTD_frame)
      throw Failure(first ? "the bytes after the magic do not begin a Zstandard frame"
                          : name + " has a damaged header");
    if (header.frameContentSize != ZSTD_CONTENTSIZE_UNKNOWN)
      throw Failure((first ? "the frame header" : name + "'s header") + " stores the content size");
    if (header.windowSize > kWindow)
      throw Failure(name + "'s window is " + mebibytes(header.windowSize) + ", more than the launcher's " +
                    mebibytes(kWindow));
    if (header.checksumFlag) throw Failure(name + " carries a content checksum");
    if (header.dictID != 0) throw Failure(name + " needs dictionary " + std::to_string(header.dictID));
    size_t length = ZSTD_findFrameCompressedSize(frame, room);
    if (ZSTD_isError(length))
      throw Failure(name + " is cut short or damaged: " + ZSTD_getErrorName(length));
    frames.push_back({at + length, header.windowSize});
    at += length;
  } while (trailer - at >= 4 && load_le32(p + at) == ZSTD_MAGICNUMBER);
  uint64_t padding = trailer - at;
  if (padding >= kPayloadAlignment)
    throw Failure(std::to_string(padding) + " bytes between the frame and the trailer, where at most 7 zeros belong");
  for (uint64_t i = 0; i < padding; ++i)
    if (p[at + i] != 0) throw Failure("non-zero bytes between the frame and the trailer");
  return frames;
}

// Every record as the writer makes it, and the index made from them.
struct Verifier : RecordVisitor {
  Bytes index_records;
  std::string first_batch_file;  // the first record, shown, when it is a batch file
  void begin(const RecordHeader& r) override {
    if (r.number == 1 && is_batch_file_name(r.name)) first_batch_file = record_shown(r);
    std::string relative;
    if (!utf16_to_utf8(r.name.c_str(), &relative)) throw Failure(record_shown(r) + ": the name is not valid UTF-16");
    if (relative.find('/') != std::string::npos) throw Failure(record_shown(r) + ": a '/' in the name");
    for (char& c : relative)
      if (c == '\\') c = '/';
    std::string why;
    if (record_name(relative, &why).empty()) throw Failure(record_shown(r) + ": " + why);
    size_t at = index_records.size();
    index_records.resize(at + 2 * r.name.size() + 2 + 12);
    for (char16_t unit : r.name) store_le16(&index_records[at], unit), at += 2;
    store_le16(&index_records[at], 0);
    store_le64(&index_records[at + 2], r.size);
    store_le32(&index_records[at + 10], r.stored);
  }
  void end(const RecordHeader& r, uint32_t checksum) override { check_checksum(r, checksum); }
};

uint32_t crc_of(const unsigned char* data, uint64_t size) { return uint32_t(crc32_z(0, data, size_t(size))); }

// The index a launcher carries must be the one the writer makes for its
// payload: a later start trusts it instead of decoding, and repairs a file by
// decoding the frames it lists. One of layout 1, as writers before frames made
// it, lists no frames.
void check_index(const Bytes& file, const LauncherFile& found, size_t records, const Bytes& listed,
                 const std::vector<IndexFrame>& frames) {
  const unsigned char* index = file.data() + found.index.offset;
  uint64_t size = found.index.size;
  uint32_t version = size < kIndexHeaderSize ? 0 : load_le32(index + 8);
  if (size < kIndexHeaderSize || memcmp(index, kIndexMagic, sizeof kIndexMagic) != 0 ||
      (version != 1 && version != kIndexVersion))
    throw Failure("the index is damaged");
  const unsigned char* payload = file.data() + found.payload.offset;
  if (load_le64(index + 16) != found.payload.size ||
      load_le32(index + 24) != crc_of(payload, found.payload.size))
    throw Failure("the index was made with another payload");
  if (load_le32(index + 12) != records || size - kIndexHeaderSize < listed.size() ||
      memcmp(index + kIndexHeaderSize, listed.data(), listed.size()) != 0)
    throw Failure("the index does not list the payload's records");
  Bytes expected = listed;
  if (version == kIndexVersion) {
    size_t at = expected.size();
    expected.resize(at + 4 + frames.size() * kIndexFrameEntrySize);
    store_le32(&expected[at], uint32_t(frames.size() - 1));
    at += 4;
    for (const IndexFrame& frame : frames) {
      store_le64(&expected[at], frame.payload_offset);
      store_le64(&expected[at + 8], frame.stream_offset);
      at += kIndexFrameEntrySize;
    }
  }
  if (size - kIndexHeaderSize != expected.size() ||
      memcmp(index + kIndexHeaderSize, expected.data(), expected.size()) != 0)
    throw Failure(version == 1 ? "the index does not list the payload's records"
                               : "the index does not list the payload's frames");
  if (load_le32(index + 28) != crc_of(expected.data(), expected.size())) throw Failure("the index is damaged");
}

void verify(const Bytes& file, const LauncherFile& found) {
  const unsigned char* payload = file.data() + found.payload.offset;
  std::vector<FoundFrame> layout = check_frames(payload, found.payload.size);
  Verifier verifier;
  StreamEnd end;
  size_t records = walk_records(payload, found.payload.size, verifier, &end);
  if (records == 0) throw Failure("no records: the launcher would have nothing to start");
  if (!verifier.first_batch_file.empty() && found.kind.rfind("windows-x64", 0) == 0)
    throw Failure(verifier.first_batch_file + " is a batch file, which a Windows launcher cannot start");
  if (end.after_end != 0) throw Failure(std::to_string(end.after_end) + " bytes after the end marker");
  // Frames after the one that ends the stream are never read.
  size_t used = end.frames.size() - 1;
  if (used < layout.size())
    throw Failure(std::to_string(found.payload.size - 8 - layout[used - 1].end) +
                  " bytes between the frame and the trailer, where at most 7 zeros belong");
  // A smaller window decodes all the same: the least of the faults. A frame of
  // several is made with the least window that holds it.
  if (layout.size() == 1 && layout[0].window != kWindow)
    throw Failure("the frame's window is " + mebibytes(layout[0].window) + ", not " + mebibytes(kWindow));
  for (size_t i = 0; layout.size() > 1 && i < layout.size(); ++i) {
    uint64_t decoded = end.frames[i + 1].stream_offset - end.frames[i].stream_offset;
    if (layout[i].window < decoded)
      throw Failure("frame " + std::to_string(i + 1) + "'s window is " + mebibytes(layout[i].window) +
                    ", less than the " + std::to_string(decoded) + " bytes it decodes to");
  }
  if (found.indexed) check_index(file, found, records, verifier.index_records, end.frames);
  say(found.kind + ": " + std::to_string(records) + " records, every checksum matches");
}

// ---- extract ---------------------------------------------------------------

bool looks_like_program(const unsigned char* data, size_t size) {
  return (size >= 4 && memcmp(data, "\x7f" "ELF", 4) == 0) || (size >= 2 && memcmp(data, "#!", 2) == 0);
}

struct Extractor : RecordVisitor {
  fs::path dir;
  bool force = false;
  std::set<std::vector<fs::path>> written;  // a later record of the same name replaces an earlier one
  std::vector<fs::path> parts;
  FILE* out = nullptr;
  std::string shown;
  bool first = false;  // the record the launcher starts

  ~Extractor() override {
    if (out != nullptr) fclose(out);
  }
  void begin(const RecordHeader& r) override {
    shown = shown_name(r.name);
    if (!record_name_stays_inside(r.name.c_str()))
      throw Failure(record_shown(r) + ": the name leaves the folder; the launcher refuses it too");
    // Split as the launcher's path is: at '\' and '/', empty parts collapsing.
    parts.clear();
    std::u16string part;
    for (size_t i = 0; i <= r.name.size(); ++i) {
      if (i < r.name.size() && r.name[i] != kRecordSeparator && r.name[i] != u'/') {
        part.push_back(r.name[i]);
        continue;
      }
      std::string text;
      if (!utf16_to_utf8(part.c_str(), &text)) throw Failure(record_shown(r) + ": the name is not valid UTF-16");
      if (!text.empty() && text != ".") parts.push_back(fs::u8path(text));
      part.clear();
    }
    if (parts.empty()) throw Failure(record_shown(r) + ": the name names the folder itself");
    first = r.number == 1;
    if (r.size == 0) open(nullptr, 0);
  }
  void contents(const unsigned char* data, size_t size) override {
    if (out == nullptr) open(data, size);
    if (fwrite(data, 1, size, out) != size) throw Failure(shown + ": " + strerror(errno));
  }
  void end(const RecordHeader& r, uint32_t checksum) override {
    if (fclose(std::exchange(out, nullptr)) != 0) throw Failure(shown + ": " + strerror(errno));
    check_checksum(r, checksum);
  }

 private:
  // The launcher's rule for execute permission: the program it starts, and
  // what looks like a program.
  void open(const unsigned char* first_bytes, size_t size) {
    bool replace = force || written.count(parts) != 0;
    out = create_below(dir, parts, replace, first || looks_like_program(first_bytes, size), shown);
    written.insert(parts);
  }
};

void extract(const Bytes& file, const LauncherFile& found, const std::string& dir, bool force) {
  std::error_code ec;
  fs::create_directories(fs::u8path(dir), ec);
  if (ec) throw Failure(dir + ": " + ec.message());
  Extractor extractor;
  extractor.dir = fs::u8path(dir);
  extractor.force = force;
  size_t records = walk_records(file.data() + found.payload.offset, found.payload.size, extractor);
  say(std::to_string(records) + " records written below " + dir);
}

[[noreturn]] void usage() {
  throw Failure(
      "usage: mordax-pack list FILE\n"
      "       mordax-pack verify FILE\n"
      "       mordax-pack extract FILE DIR [--force]");
}

}  // namespace

bool is_inspect_command(int argc, char** argv) {
  if (argc < 2) return false;
  std::string command = argv[1];
  return command == "list" || command == "verify" || command == "extract";
}

void run_inspect(int argc, char** argv) {
  std::string command = argv[1];
  std::vector<std::string> operands;
  bool force = false;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--force" && command == "extract") force = true;
    else if (!a.empty() && a[0] == '-') usage();
    else operands.push_back(a);
  }
  if (operands.size() != (command == "extract" ? 2u : 1u)) usage();
  const std::string& path = operands[0];
  Bytes file = read_file(path);
  try {
    LauncherFile found = find_payload(file);
    if (command == "list") list(file, found);
    else if (command == "verify") verify(file, found);
    else extract(file, found, operands[1], force);
  } catch (const Failure& e) {
    throw Failure(path + ": " + e.what());
  }
}
