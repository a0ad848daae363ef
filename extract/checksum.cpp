#include "extract/checksum.h"

#include <libdeflate.h>

#include "platform/platform.h"

// libdeflate's CRC-32 is zlib's crc32, computed several times faster with the
// processor's carry-less multiply; on a second start it is most of what the
// launcher does besides decoding.
uint32_t checksum_update(uint32_t crc, const void* data, uint64_t length) {
  static_assert(sizeof(size_t) == sizeof(uint64_t), "a length of 4 GiB or more is passed whole");
  return libdeflate_crc32(crc, data, size_t(length));
}

uint32_t record_checksum(const void* data, uint64_t length) {
  uint32_t crc = checksum_update(0, data, length);
  return crc == 0 ? 1 : crc;
}

uint32_t file_checksum(const char16_t* path) {
  platform::MappedFile file;
  if (!platform::map_file(path, &file)) return 0;
  // One pass over the whole mapping; pages already summed leave the resident
  // set at once, so a large file does not add its size to the peak memory.
  constexpr uint64_t kPiece = 4u << 20;
  uint32_t crc = 0;
  for (uint64_t done = 0; done < file.size;) {
    uint64_t n = file.size - done < kPiece ? file.size - done : kPiece;
    crc = checksum_update(crc, file.data + done, n);
    platform::release_pages(file.data + done, size_t(n));
    done += n;
  }
  platform::unmap_file(&file);
  return crc == 0 ? 1 : crc;
}
