// The decode floor of a payload of frames: decodes the frames its index lists,
// each whole into a buffer of the thread's own, on as many threads as the
// launcher would take, and drops the bytes. What a first start on frames costs
// beyond this is its writes.
//   frames_floor INDEX PAYLOAD
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "payload/index.h"
#include "platform/platform.h"

namespace {

const unsigned char* map_file(const char* path, uint64_t* size) {
  int fd = open(path, O_RDONLY);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return nullptr;
  void* data = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  *size = uint64_t(st.st_size);
  return data == MAP_FAILED ? nullptr : static_cast<const unsigned char*>(data);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  uint64_t index_size = 0, payload_size = 0;
  const unsigned char* index = map_file(argv[1], &index_size);
  const unsigned char* payload = map_file(argv[2], &payload_size);
  IndexReader frames;
  if (index == nullptr || payload == nullptr || !parse_index(index, index_size, 1023, &frames) ||
      frames.frame_count == 0)
    return 1;
  uint64_t largest = 0;
  for (uint32_t f = 0; f < frames.frame_count; ++f)
    largest = std::max(largest, frames.frame(f + 1).stream_offset - frames.frame(f).stream_offset);
  unsigned threads = std::min(std::min(platform::processor_count(), 8u), frames.frame_count);

  std::atomic<uint32_t> next{0};
  std::atomic<bool> failed{false};
  auto decode = [&]() {
    ZSTD_DCtx* context = ZSTD_createDCtx();
    auto* buffer = static_cast<unsigned char*>(malloc(size_t(largest)));
    for (uint32_t f; context != nullptr && buffer != nullptr && (f = next++) < frames.frame_count;) {
      IndexFrame begin = frames.frame(f), end = frames.frame(f + 1);
      size_t made = ZSTD_decompressDCtx(context, buffer, size_t(end.stream_offset - begin.stream_offset),
                                        payload + begin.payload_offset,
                                        size_t(end.payload_offset - begin.payload_offset));
      if (ZSTD_isError(made) || made != end.stream_offset - begin.stream_offset) failed = true;
    }
    if (context == nullptr || buffer == nullptr) failed = true;
    free(buffer);
    ZSTD_freeDCtx(context);
  };
  std::vector<std::thread> others;
  for (unsigned i = 1; i < threads; ++i) others.emplace_back(decode);
  decode();
  for (std::thread& t : others) t.join();
  return failed ? 1 : 0;
}
