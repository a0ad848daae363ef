#include "payload/payload.h"

#include <cstdlib>

#include "launcher/fatal.h"
#include "payload/decoder.h"
#include "payload/format.h"
#include "platform/platform.h"

FrameDecoder frame_decoder;

bool FrameDecoder::step(ZSTD_outBuffer* out) {
  size_t result = ZSTD_decompressStream(context, out, &input);
  if (ZSTD_isError(result)) return false;
  ended = result == 0;
  release_behind();
  return true;
}

void FrameDecoder::release_behind() {
  // Compressed bytes already consumed are never read again: letting their
  // pages go keeps the payload from adding its whole size to the peak memory.
  if (input.pos - released >= release_step) {
    platform::release_pages(static_cast<const unsigned char*>(input.src) + released, input.pos - released);
    released = input.pos;
  }
}

namespace {

bool two_cores_running;
unsigned char* output;
size_t read_position;
size_t window_end;

// A two-threaded process pays a TLB shoot-down per release: fewer, larger
// steps there.
constexpr size_t kReleaseStep = 4u << 20;
constexpr size_t kTwoCoreReleaseStep = 8u << 20;
constexpr uint64_t kHugePagePayloadFloor = 64u << 10;

// Takes the next `count` decoded bytes, copying them to `to` unless it is null.
void consume(unsigned char* to, uint64_t count) {
  FrameDecoder& d = frame_decoder;
  // A step that filled the buffer may have left decoded bytes inside the
  // decoder once the input is used up; the design looks for them only within
  // the read that ran that step.
  bool filled = false;
  while (count > 0) {
    if (read_position < window_end) {
      take_decoded(output, &read_position, window_end, &to, &count);
    } else if (d.input.pos < d.input.size || filled) {
      ZSTD_outBuffer out = {output, kDecodeBufferSize, 0};
      if (!d.step(&out)) fatal_decode_error();
      filled = out.pos == out.size;
      read_position = 0;
      window_end = out.pos;
    } else {
      fatal_decode_error();
    }
  }
}

void open_output() {
  output = static_cast<unsigned char*>(malloc(kDecodeBufferSize));
  if (output == nullptr) fatal_memory_error();
  read_position = window_end = 0;
}

// Past the end of the frame the decoding thread took, the reader on one thread
// goes on exactly as it would have gone on there: with a fresh step.
void leave_two_cores() {
  ring_stop();
  two_cores_running = false;
  frame_decoder.release_step = kReleaseStep;
  ZSTD_DCtx_reset(frame_decoder.context, ZSTD_reset_session_only);
  open_output();
}

void take(unsigned char* to, uint64_t count) {
  if (two_cores_running) {
    count = ring_take(&to, count);
    if (count == 0) return;
    if (!ring_frame_ended()) fatal_decode_error();
    leave_two_cores();
  }
  consume(to, count);
}

}  // namespace

void payload_open(bool two_cores, bool huge_pages) {
  PayloadBytes payload = embedded_payload();
  if (payload.size < sizeof kPayloadMagic) fatal_header_error();
  for (size_t i = 0; i < sizeof kPayloadMagic; ++i)
    if (payload.data[i] != kPayloadMagic[i]) fatal_header_error();
  if (!two_cores) open_output();
  FrameDecoder& d = frame_decoder;
  // A small payload touches a few pages of the window: a huge page would have
  // 2 MiB zeroed for it.
  const platform::LargeMemory* memory =
      huge_pages && payload.size >= kHugePagePayloadFloor ? platform::large_memory() : nullptr;
  d.memory = memory;
  d.context = memory != nullptr ? ZSTD_createDCtx_advanced(ZSTD_customMem{memory->allocate, memory->release, nullptr})
                                : ZSTD_createDCtx();
  if (d.context == nullptr) fatal_memory_error();
  d.input = {payload.data + sizeof kPayloadMagic, size_t(payload.size - sizeof kPayloadMagic), 0};
  d.released = 0;
  d.release_step = two_cores ? kTwoCoreReleaseStep : kReleaseStep;
  two_cores_running = two_cores && ring_start();
  if (two_cores && !two_cores_running) {
    d.release_step = kReleaseStep;
    open_output();
  }
}

void payload_read(void* destination, uint64_t count) { take(static_cast<unsigned char*>(destination), count); }

void payload_skip(uint64_t count) { take(nullptr, count); }

size_t payload_view(uint64_t count, const unsigned char** data) {
  return two_cores_running ? ring_view(count, data) : 0;
}

void payload_close() {
  if (two_cores_running) ring_stop();
  two_cores_running = false;
  ZSTD_freeDCtx(frame_decoder.context);
  frame_decoder.context = nullptr;
  free(output);
  output = nullptr;
}
