#include "tools/files.h"

#include <zlib.h>

#include <cerrno>
#include <cstring>

#include "tools/failure.h"
#include "tools/host.h"

uint64_t read_in_chunks(const std::string& path, const std::string& shown, uint64_t limit,
                        const Chunk& chunk) {
  FILE* in = host_open(path, "rb");
  if (in == nullptr) throw Failure(shown + ": " + strerror(errno));
  std::vector<unsigned char> buffer(size_t(1) << 20);
  uint64_t total = 0;
  for (size_t n; (n = fread(buffer.data(), 1, buffer.size(), in)) > 0;) {
    total += n;
    if (total > limit) break;
    chunk(buffer.data(), n);
  }
  bool failed = ferror(in);
  fclose(in);
  if (failed) throw Failure(shown + ": read error");
  return total;
}

std::vector<unsigned char> read_whole(const std::string& path) {
  std::vector<unsigned char> bytes;
  read_in_chunks(path, path, UINT64_MAX,
                 [&](const unsigned char* data, size_t n) { bytes.insert(bytes.end(), data, data + n); });
  return bytes;
}

void Sink::put(const void* data, size_t size) {
  if (size > 0 && fwrite(data, 1, size, file) != size)
    throw Failure(std::string("write failed: ") + strerror(errno));
  written += size;
  crc = uint32_t(crc32(crc, static_cast<const Bytef*>(data), uInt(size)));
}
