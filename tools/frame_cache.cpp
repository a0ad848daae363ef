#define ZSTD_STATIC_LINKING_ONLY  // the frame header's fields
#include "tools/frame_cache.h"

#include <zlib.h>
#include <zstd.h>

#include <cerrno>
#include <cstring>
#include <regex>

#include "common/little_endian.h"
#include "tools/failure.h"
#include "tools/host.h"

namespace {

constexpr unsigned char kEntryMagic[8] = {'M', 'D', 'X', 'F', 'R', 'A', 'M', 'E'};
// Changes whenever the compressor's settings for a frame do, so that no entry
// made with others is taken for one of these.
constexpr uint32_t kEntryVersion = 1;
constexpr size_t kEntryHeaderSize = 40;
const std::string kEntryPrefix = "mordax-frame-";

uint32_t crc_of(const unsigned char* data, size_t n) { return uint32_t(crc32(0, data, uInt(n))); }

void put_header(unsigned char* h, const FrameKey& key, const std::string& compressed) {
  memcpy(h, kEntryMagic, 8);
  store_le32(h + 8, kEntryVersion);
  store_le32(h + 12, ZSTD_versionNumber());
  store_le32(h + 16, uint32_t(key.level));
  store_le32(h + 20, uint32_t(key.window_log));
  store_le64(h + 24, key.decoded_size);
  store_le32(h + 32, key.decoded_crc);
  store_le32(h + 36, crc_of(reinterpret_cast<const unsigned char*>(compressed.data()), compressed.size()));
}

// The entry's bytes, or false when it cannot be read whole or is larger than
// any entry for `key` could be.
bool read_entry(const std::string& path, const FrameKey& key, std::string* bytes) {
  FILE* in = host_open(path, "rb");
  if (in == nullptr) return false;
  size_t most = kEntryHeaderSize + ZSTD_compressBound(key.decoded_size);
  bytes->resize(most + 1);
  size_t n = fread(bytes->data(), 1, bytes->size(), in);
  bool read = !ferror(in) && n <= most;
  fclose(in);
  bytes->resize(n);
  return read;
}

// An entry's name, as name_of() makes them, and nothing else the folder holds.
bool is_entry_name(const std::string& name) {
  static const std::regex entry("mordax-frame-v[0-9]+-z[0-9]+-l[0-9]+-w[0-9]+-[0-9]+-[0-9a-f]{8}\\.zst");
  return std::regex_match(name, entry);
}

// One frame as this writer makes it, and no more.
bool is_our_frame(const unsigned char* frame, size_t n, int window_log) {
  ZSTD_frameHeader h;
  return ZSTD_getFrameHeader(&h, frame, n) == 0 && h.frameType == ZSTD_frame &&
         h.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN && !h.checksumFlag && h.dictID == 0 &&
         h.windowSize == uint64_t(1) << window_log && ZSTD_findFrameCompressedSize(frame, n) == n;
}

}  // namespace

FrameCache::FrameCache(std::string dir) : dir_(std::move(dir)) {
  if (!dir_.empty() && !host_make_directories(dir_)) give_up(strerror(errno));
}

std::string FrameCache::name_of(const FrameKey& key) const {
  char crc[9];
  snprintf(crc, sizeof crc, "%08x", unsigned(key.decoded_crc));
  return dir_ + "/" + kEntryPrefix + "v" + std::to_string(kEntryVersion) + "-z" +
         std::to_string(ZSTD_versionNumber()) + "-l" + std::to_string(key.level) + "-w" +
         std::to_string(key.window_log) + "-" + std::to_string(key.decoded_size) + "-" + crc + ".zst";
}

bool FrameCache::find(const FrameKey& key, const unsigned char* decoded, std::string* compressed,
                      std::vector<unsigned char>* scratch) {
  std::string name;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (dir_.empty()) return false;
    name = name_of(key);
    used_.insert(name);
  }
  std::string entry;
  if (!read_entry(name, key, &entry) || entry.size() < kEntryHeaderSize) return false;
  std::string frame = entry.substr(kEntryHeaderSize);
  unsigned char expected[kEntryHeaderSize];
  put_header(expected, key, frame);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(frame.data());
  if (memcmp(entry.data(), expected, kEntryHeaderSize) != 0 || !is_our_frame(bytes, frame.size(), key.window_log))
    return false;
  scratch->resize(key.decoded_size + 1);  // room to see a frame that decodes to more
  size_t n = ZSTD_decompress(scratch->data(), scratch->size(), bytes, frame.size());
  if (ZSTD_isError(n) || n != key.decoded_size || memcmp(scratch->data(), decoded, n) != 0) return false;
  *compressed = std::move(frame);
  return true;
}

void FrameCache::keep(const FrameKey& key, const std::string& compressed) {
  std::string name;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (dir_.empty() || !keeping_) return;
    name = name_of(key);
    // Frames of the same bytes (two copies of a large file) are one entry.
    if (!kept_.insert(name).second) return;
  }
  unsigned char header[kEntryHeaderSize];
  put_header(header, key, compressed);
  // Renamed into place, so that a pack cut short leaves no entry half written.
  std::string partial = name + ".partial";
  FILE* out = host_open(partial, "wb");
  bool ok = out != nullptr && fwrite(header, 1, sizeof header, out) == sizeof header &&
            fwrite(compressed.data(), 1, compressed.size(), out) == compressed.size();
  if (out != nullptr && fclose(out) != 0) ok = false;
  if (ok && host_replace(partial, name)) return;
  std::string why = strerror(errno);
  host_remove(partial);
  std::lock_guard<std::mutex> hold(lock_);
  keeping_ = false;
  warn(why + "; keeping no more frames in it");
}

void FrameCache::prune() {
  if (dir_.empty()) return;
  std::vector<std::string> names;
  try {
    names = host_list_files(dir_);
  } catch (const Failure& e) {
    std::string why = e.what();  // names the folder first, as the warning does
    give_up(why.rfind(dir_ + ": ", 0) == 0 ? why.substr(dir_.size() + 2) : why);
  }
  for (const std::string& name : names)
    if (is_entry_name(name) && used_.count(dir_ + "/" + name) == 0)
      host_remove(dir_ + "/" + name);
}

void FrameCache::give_up(const std::string& why) {
  warn(why + "; packing without it");
  dir_.clear();
}

void FrameCache::warn(const std::string& why) {
  if (!warned_) host_print(true, "mordax-pack: warning: frame cache " + dir_ + ": " + why + "\n");
  warned_ = true;
}
