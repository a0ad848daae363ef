#include "payload/payload.h"

// The decoder context takes the platform's allocator (an advanced API).
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <cstdlib>
#include <cstring>

#include "launcher/fatal.h"
#include "payload/format.h"
#include "platform/platform.h"

namespace {

ZSTD_DCtx* decoder;
ZSTD_inBuffer input;  // the whole frame and what follows it, never copied
size_t input_released;  // input below this offset has left the resident set

// Compressed bytes already consumed are never read again: letting their pages
// go keeps the payload from adding its whole size to the peak memory.
constexpr size_t kReleaseStep = 4u << 20;
unsigned char* output;
size_t read_position;
size_t window_end;

}  // namespace

void payload_open() {
  PayloadBytes payload = embedded_payload();
  if (payload.size < sizeof kPayloadMagic) fatal_header_error();
  for (size_t i = 0; i < sizeof kPayloadMagic; ++i)
    if (payload.data[i] != kPayloadMagic[i]) fatal_header_error();
  output = static_cast<unsigned char*>(malloc(kDecodeBufferSize));
  if (output == nullptr) fatal_memory_error();
  const platform::LargeMemory* memory = platform::large_memory();
  decoder = memory != nullptr ? ZSTD_createDCtx_advanced(ZSTD_customMem{memory->allocate, memory->release, nullptr})
                              : ZSTD_createDCtx();
  if (decoder == nullptr) fatal_memory_error();
  input = {payload.data + sizeof kPayloadMagic, size_t(payload.size - sizeof kPayloadMagic), 0};
  read_position = window_end = 0;
  input_released = 0;
}

namespace {

// Takes the next `count` decoded bytes, copying them to `to` unless it is null.
void consume(unsigned char* to, uint64_t count) {
  // A step that fills the buffer completely may leave decoded bytes inside the
  // decoder, so another step is due even when the input is used up.
  bool filled = false;
  while (count > 0) {
    if (read_position < window_end) {
      size_t n = window_end - read_position;
      if (n > count) n = size_t(count);
      if (to != nullptr) {
        memcpy(to, output + read_position, n);
        to += n;
      }
      read_position += n;
      count -= n;
    } else if (input.pos < input.size || filled) {
      ZSTD_outBuffer out = {output, kDecodeBufferSize, 0};
      size_t result = ZSTD_decompressStream(decoder, &out, &input);
      filled = out.pos == kDecodeBufferSize;
      if (ZSTD_isError(result)) fatal_decode_error();
      read_position = 0;
      window_end = out.pos;
      if (input.pos - input_released >= kReleaseStep) {
        platform::release_pages(static_cast<const unsigned char*>(input.src) + input_released,
                                input.pos - input_released);
        input_released = input.pos;
      }
    } else {
      fatal_decode_error();
    }
  }
}

}  // namespace

void payload_read(void* destination, uint64_t count) { consume(static_cast<unsigned char*>(destination), count); }

void payload_skip(uint64_t count) { consume(nullptr, count); }

void payload_close() {
  ZSTD_freeDCtx(decoder);
  decoder = nullptr;
  free(output);
  output = nullptr;
}
