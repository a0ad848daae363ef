// The decoding state both payload readers share: the frame and what follows
// it, consumed in steps that release the compressed pages behind them.
#pragma once

// The decoder context takes the platform's allocator (an advanced API).
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

struct FrameDecoder {
  ZSTD_DCtx* context;
  ZSTD_inBuffer input;  // the whole frame and what follows it, never copied
  size_t released;      // input below this offset has left the resident set
  size_t release_step;
  const platform::LargeMemory* memory;  // where the window comes from; null: malloc
  bool ended;                           // the last step finished a frame

  /// Decodes into `out` from its current position; false on a decoding error.
  bool step(ZSTD_outBuffer* out);

  /// Lets the pages of the input consumed so far leave the resident set, in
  /// steps of release_step.
  void release_behind();
};

/// Moves past what the caller still wants of the decoded bytes
/// buffer[*position, end), copying them to *to unless it is null.
inline void take_decoded(const unsigned char* buffer, size_t* position, size_t end, unsigned char** to,
                         uint64_t* count) {
  size_t n = end - *position;
  if (n > *count) n = size_t(*count);
  if (*to != nullptr) {
    memcpy(*to, buffer + *position, n);
    *to += n;
  }
  *position += n;
  *count -= n;
}

/// The payload's decoder, set up by payload_open.
extern FrameDecoder frame_decoder;

// The reader on two cores (payload/ring.cpp), for a frame at the input's
// position. ring_start() returns false, having started nothing, for a frame it
// leaves to the streaming decoder or when it cannot have its buffer or its
// thread. ring_take() returns how many of `count` bytes it could not deliver
// because the decoder has ended; ring_frame_ended() then says whether it ended
// at the frame's end, where the reader on one thread takes over.
bool ring_start();
uint64_t ring_take(unsigned char** to, uint64_t count);
size_t ring_view(uint64_t count, const unsigned char** data);
bool ring_frame_ended();
void ring_stop();
