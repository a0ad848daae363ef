// The payload reader on two cores. A decoding thread decodes the frame block by
// block straight into the round buffer its window needs anyway, and the main
// thread takes the bytes in place behind it: the window is the ring. The decoder
// may run up to a window ahead of the writes, so slow stretches on either side
// (a directory tree to create, a block that decodes slowly) overlap, and no
// byte is copied between decoder and writer. Each side wakes the other only
// when the other actually waits.
//
// The main thread sees exactly what the reader on one thread delivers. That
// reader decodes in 128 KiB steps, and a step that reaches a block that fails
// loses what it had decoded before it; so the decoder publishes the bytes of a
// step only once the step could no longer fail. Where the input ends inside the
// frame, that reader gets past the step that took the input's last byte only
// within the read that ran it, and so does the main thread here. A frame that
// ends hands what follows it back to the reader on one thread.
#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include <zstd_errors.h>

#include "payload/decoder.h"
#include "payload/payload.h"
#include "platform/platform.h"

namespace {

// How far the reader gets before it says where it is: the decoder cannot use
// what the reader has passed until then.
constexpr size_t kReaderStep = 4u << 20;

// A reader that waits is woken once this much is there for it (or the decoder
// has ended), not for every block: a wake-up costs the decoder a system call,
// and the sleeping core an interrupt, a few thousand times over otherwise.
constexpr uint64_t kWakeStep = 2u << 20;

// The window limit of the streaming decoder: a frame asking for more is left to it,
// to fail there.
constexpr unsigned long long kMaxWindow = (1ull << ZSTD_WINDOWLOG_LIMIT_DEFAULT) + 1;

// Places in the buffer go by laps: the decoder wraps to its start as the
// streaming decoder does, when the next block might not fit before its end.
struct Ring {
  std::mutex lock;
  std::condition_variable space;  // the decoder waits here for the reader to move on
  std::condition_variable bytes;  // the reader waits here for decoded bytes
  bool decoder_waiting = false;
  bool reader_waiting = false;
  uint64_t published = 0;      // decoded bytes the reader may take
  uint64_t produced = 0;       // once the decoder has ended: the bytes it decoded
  uint64_t lap = 0;            // the decoder's lap
  uint64_t lap_start = 0;      // decoded bytes before the decoder's lap
  size_t previous_lap_end = 0;  // where the bytes of the lap before it end
  uint64_t reader_lap = 0;
  size_t reader_offset = 0;
  uint64_t taken = 0;        // decoded bytes the reader has passed
  bool finished = false;     // the decoder has ended: at the frame's end, a failure or the input's end
  bool frame_ended = false;  // ... at the frame's end
  bool stopping = false;
  unsigned char* memory = nullptr;
  size_t size = 0;
  size_t block_max = 0;
  uint64_t wake_step = 0;  // kWakeStep, or less in a small window
  bool wraps = false;  // false when the buffer holds the whole frame
  std::thread decoder;
};

// Kept on the heap and never destroyed while the decoder may run: a launcher
// that stops on a failure exits with the thread still in place.
Ring* ring;

// The bytes the reader holds, touched by the main thread only.
const unsigned char* held;
size_t held_size;
size_t held_position;

// What the reader on one thread would have delivered of `decoded` bytes if the
// next block failed: all but the step in which the last byte came out.
uint64_t sure_to_be_delivered(uint64_t decoded) {
  return decoded == 0 ? 0 : (decoded - 1) / kDecodeBufferSize * kDecodeBufferSize;
}

// Whether a block may be decoded at `offset` of lap `lap` (the bytes of the
// lap before it ending at `lap_end`): its room must hold no byte the reader
// has yet to take.
bool room_for_block(const Ring* r, uint64_t lap, size_t offset, size_t lap_end) {
  if (r->reader_lap == lap) return true;
  return r->reader_lap + 1 == lap && (r->reader_offset >= offset + r->block_max || r->reader_offset >= lap_end);
}

void publish(Ring* r, uint64_t decoded) {
  std::lock_guard<std::mutex> hold(r->lock);
  r->published = decoded;
  if (r->reader_waiting && decoded - r->taken >= r->wake_step) r->bytes.notify_one();
}

void finish(Ring* r, uint64_t deliverable, uint64_t produced, bool frame_ended) {
  std::lock_guard<std::mutex> hold(r->lock);
  r->published = deliverable;
  r->produced = produced;
  r->finished = true;
  r->frame_ended = frame_ended;
  if (r->reader_waiting) r->bytes.notify_one();
}

void decode_ahead(Ring* r) {
  FrameDecoder& d = frame_decoder;
  const auto* input = static_cast<const unsigned char*>(d.input.src);
  size_t offset = 0;  // where the next block goes in the decoder's lap
  uint64_t decoded = 0;
  uint64_t published = 0;
  uint64_t reached = 0;  // bytes decoded when input was last taken
  for (;;) {
    size_t wanted = ZSTD_nextSrcSizeToDecompress(d.context);
    if (wanted == 0) return finish(r, decoded, decoded, true);
    size_t left = d.input.size - d.input.pos;
    // At the input's end a stored block is taken in part, as the streaming
    // decoder takes it; anything else waits there for input that never comes.
    size_t given = wanted < left ? wanted : left;
    // The input is used up: the reader on one thread took its last byte in the
    // step that reached `reached`, and steps on only within the read that ran it.
    if (given == 0)
      return finish(r, std::min(decoded, sure_to_be_delivered(reached) + kDecodeBufferSize), decoded, false);
    reached = decoded;
    ZSTD_nextInputType_e type = ZSTD_nextInputType(d.context);
    unsigned char* to = nullptr;
    size_t room = 0;
    if (type == ZSTDnit_block || type == ZSTDnit_lastBlock) {
      std::unique_lock<std::mutex> hold(r->lock);
      bool wrap = r->wraps && offset + r->block_max > r->size;
      uint64_t lap = wrap ? r->lap + 1 : r->lap;
      size_t at = wrap ? 0 : offset;
      size_t lap_end = wrap ? offset : r->previous_lap_end;
      while (!room_for_block(r, lap, at, lap_end) && !r->stopping) {
        // Whatever the reader waits for, it is all the decoder has room for.
        if (r->reader_waiting) r->bytes.notify_one();
        r->decoder_waiting = true;
        r->space.wait(hold);
      }
      r->decoder_waiting = false;
      if (r->stopping) return;
      if (wrap) {
        r->previous_lap_end = offset;
        r->lap = lap;
        r->lap_start = decoded;
        offset = 0;
      }
      to = r->memory + offset;
      room = r->size - offset < r->block_max ? r->size - offset : r->block_max;
    }
    size_t n = ZSTD_decompressContinue(d.context, to, room, input + d.input.pos, given);
    if (ZSTD_isError(n)) {
      bool cut = given < wanted && ZSTD_getErrorCode(n) == ZSTD_error_srcSize_wrong;
      uint64_t deliverable = cut ? decoded : published;
      return finish(r, deliverable, deliverable, false);
    }
    d.input.pos += given;
    d.release_behind();
    offset += n;
    decoded += n;
    uint64_t sure = sure_to_be_delivered(decoded);
    if (sure != published) publish(r, published = sure);
  }
}

// Makes the reader's place hold an unread byte: says how far it got and takes
// the next bytes in hand, waiting for them if need be. False when the decoder
// has ended and no byte is left.
bool reach_byte() {
  if (held_position < held_size) return true;
  Ring* r = ring;
  std::unique_lock<std::mutex> hold(r->lock);
  r->reader_offset += held_position;
  r->taken += held_position;
  held_size = held_position = 0;
  for (;;) {
    uint64_t end = r->published;
    if (r->reader_lap != r->lap) {
      // One lap behind the decoder: this lap's bytes end where the decoder's began.
      if (r->taken == r->lap_start) {
        r->reader_lap = r->lap;
        r->reader_offset = 0;
        continue;
      }
      if (end > r->lap_start) end = r->lap_start;
    }
    if (r->decoder_waiting) r->space.notify_one();
    if (end > r->taken) {
      uint64_t n = end - r->taken;
      held = r->memory + r->reader_offset;
      held_size = n < kReaderStep ? size_t(n) : kReaderStep;
      r->reader_waiting = false;
      return true;
    }
    if (r->finished) return false;
    r->reader_waiting = true;
    r->bytes.wait(hold);
  }
}

// The window comes from where the decoder's own allocations come from.
void* allocate(size_t size) {
  const platform::LargeMemory* memory = frame_decoder.memory;
  return memory != nullptr ? memory->allocate(nullptr, size) : malloc(size);
}

void release(void* block) {
  const platform::LargeMemory* memory = frame_decoder.memory;
  if (memory != nullptr)
    memory->release(nullptr, block);
  else
    free(block);
}

}  // namespace

bool ring_start() {
  FrameDecoder& d = frame_decoder;
  // Frames the streaming decoder treats apart (a skippable one, one it refuses,
  // one small enough to decode in a single step) stay with it.
  ZSTD_frameHeader header;
  const auto* frame = static_cast<const unsigned char*>(d.input.src) + d.input.pos;
  if (ZSTD_getFrameHeader(&header, frame, d.input.size - d.input.pos) != 0 || header.frameType != ZSTD_frame)
    return false;
  unsigned long long window = header.windowSize < 1024 ? 1024 : header.windowSize;
  if (window > kMaxWindow ||
      (header.frameContentSize != ZSTD_CONTENTSIZE_UNKNOWN && header.frameContentSize <= kDecodeBufferSize))
    return false;
  size_t size = ZSTD_decodingBufferSize_min(window, header.frameContentSize);
  if (ZSTD_isError(size)) return false;
  // A round buffer must hold a step held back and a block's room besides, or
  // the decoder would wait for a reader waiting for it.
  bool wraps = size < header.frameContentSize;
  if ((wraps && size < kDecodeBufferSize + 2 * header.blockSizeMax) || ZSTD_isError(ZSTD_decompressBegin(d.context)))
    return false;

  ring = new (std::nothrow) Ring;
  if (ring == nullptr) return false;
  ring->memory = static_cast<unsigned char*>(allocate(size));
  ring->size = size;
  ring->block_max = header.blockSizeMax;
  ring->wake_step = size / 4 < kWakeStep ? size / 4 : kWakeStep;
  ring->wraps = wraps;
  held = nullptr;
  held_size = held_position = 0;
  if (ring->memory != nullptr) {
    // No thread to be had, or no memory to start one: the decoding stays on
    // the calling thread.
    try {
      ring->decoder = std::thread(decode_ahead, ring);
      return true;
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
    release(ring->memory);
  }
  delete ring;
  ring = nullptr;
  return false;
}

// Past the input's end the reader on one thread runs a step only within the
// read that ran the step before, and only when that one filled its buffer (it
// then ends at what is published, short of what was decoded): a read that
// began at or before that step's first byte takes one step more.
bool step_past_the_input(uint64_t read_start) {
  Ring* r = ring;
  std::lock_guard<std::mutex> hold(r->lock);
  if (r->published == r->produced || read_start + kDecodeBufferSize > r->published) return false;
  r->published += std::min<uint64_t>(r->produced - r->published, kDecodeBufferSize);
  return true;
}

uint64_t ring_take(unsigned char** to, uint64_t count) {
  uint64_t read_start = ring->taken + held_position;
  while (count > 0) {
    if (reach_byte())
      take_decoded(held, &held_position, held_size, to, &count);
    else if (!step_past_the_input(read_start))
      break;
  }
  return count;
}

size_t ring_view(uint64_t count, const unsigned char** data) {
  if (count == 0 || !reach_byte()) return 0;
  *data = held + held_position;
  size_t n = held_size - held_position;
  return n < count ? n : size_t(count);
}

bool ring_frame_ended() {
  std::lock_guard<std::mutex> hold(ring->lock);
  return ring->finished && ring->frame_ended;
}

void ring_stop() {
  {
    std::lock_guard<std::mutex> hold(ring->lock);
    ring->stopping = true;
    if (ring->decoder_waiting) ring->space.notify_one();
  }
  ring->decoder.join();
  release(ring->memory);
  delete ring;
  ring = nullptr;
}
