// The decode floor: only decodes a payload's frame with ZSTD_decompressStream
// into a 128 KiB buffer, as the launcher's reader does, and drops the bytes.
// With --huge-pages the decoder takes the Linux launcher's allocator, whose
// window sits on transparent huge pages.
//   decode_floor [--huge-pages] PAYLOAD
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/platform.h"

int main(int argc, char** argv) {
  bool huge = argc == 3 && strcmp(argv[1], "--huge-pages") == 0;
  if (argc != 2 && !huge) return 2;
  int fd = open(argv[argc - 1], O_RDONLY);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return 1;
  auto* data = static_cast<const unsigned char*>(mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0));
  const platform::LargeMemory* memory = platform::large_memory();
  ZSTD_DCtx* d = huge ? ZSTD_createDCtx_advanced(ZSTD_customMem{memory->allocate, memory->release, nullptr})
                      : ZSTD_createDCtx();
  std::vector<unsigned char> out(131072);
  ZSTD_inBuffer in = {data + 3, size_t(st.st_size) - 3, 0};
  unsigned long long total = 0;
  for (;;) {
    ZSTD_outBuffer o = {out.data(), out.size(), 0};
    size_t r = ZSTD_decompressStream(d, &o, &in);
    if (ZSTD_isError(r)) return 1;
    total += o.pos;
    if (r == 0) break;
  }
  ZSTD_freeDCtx(d);
  return total > 0 ? 0 : 1;
}
