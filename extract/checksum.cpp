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
  uint32_t crc = 0;
  auto add = [](void* context, const unsigned char* data, size_t size) {
    auto* sum = static_cast<uint32_t*>(context);
    *sum = checksum_update(*sum, data, size);
  };
  if (!platform::read_file(path, add, &crc)) return 0;
  return crc == 0 ? 1 : crc;
}
