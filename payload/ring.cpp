// The payload reader on two cores: a decoding thread fills a ring of large
// slots ahead of the main thread, which takes the bytes in place. Each side
// wakes the other only when the other actually waits, never per slot; the
// slots are allocated once. A decoding failure ends the decoding thread with
// the bytes before it delivered, so the main thread fails exactly where the
// reader on one thread would: when it wants a byte that never came.
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "launcher/fatal.h"
#include "payload/decoder.h"
#include "payload/payload.h"
#include "platform/platform.h"

namespace {

// Four slots of one huge page each: the decoder rarely waits for the writes,
// and the ring adds 8 MiB to the 128 MiB window.
constexpr size_t kSlots = 4;
constexpr size_t kSlotSize = 2u << 20;
static_assert(kSlotSize % kDecodeBufferSize == 0, "a slot is filled in the one-thread reader's steps");

struct Ring {
  std::mutex lock;
  std::condition_variable space;  // the decoder waits here for a free slot
  std::condition_variable bytes;  // the reader waits here for a filled one
  bool decoder_waiting = false;
  bool reader_waiting = false;
  uint64_t produced = 0;  // slots filled since the start; written by the decoder
  uint64_t consumed = 0;  // slots given back since the start; written by the reader
  size_t sizes[kSlots] = {};
  bool finished = false;  // the decoder has ended, at the frame's end or at a failure
  bool stopping = false;
  unsigned char* memory = nullptr;
  std::thread decoder;
};

// Kept on the heap and never destroyed while the decoder may run: a launcher
// that stops on a failure exits with the thread still in place.
Ring* ring;

// The reader's place, touched by the main thread only.
const unsigned char* slot;
size_t slot_size;
size_t slot_position;
bool holding_slot;

void decode_ahead(Ring* r) {
  FrameDecoder& d = frame_decoder;
  for (;;) {
    {
      std::unique_lock<std::mutex> hold(r->lock);
      while (r->produced - r->consumed == kSlots && !r->stopping) {
        r->decoder_waiting = true;
        r->space.wait(hold);
      }
      r->decoder_waiting = false;
      if (r->stopping) return;
    }
    size_t index = size_t(r->produced % kSlots);
    // Each step gets the room the reader on one thread gives it: a step that
    // fails loses what it decoded, so the same steps fail at the same byte.
    ZSTD_outBuffer out = {r->memory + index * kSlotSize, 0, 0};
    bool more = true;
    while (more && out.pos < kSlotSize) {
      out.size = out.pos + kDecodeBufferSize;
      more = d.more() && d.step(&out);
    }
    std::lock_guard<std::mutex> hold(r->lock);
    r->sizes[index] = out.pos;
    if (out.pos > 0) ++r->produced;
    r->finished = !more;
    if (r->reader_waiting) r->bytes.notify_one();
    if (!more) return;
  }
}

// Makes the reader's place hold an unread byte, giving back the slot it has
// used up and waiting for the next. False when no byte is left.
bool reach_byte() {
  if (slot_position < slot_size) return true;
  Ring* r = ring;
  std::unique_lock<std::mutex> hold(r->lock);
  if (holding_slot) {
    ++r->consumed;
    holding_slot = false;
    if (r->decoder_waiting) r->space.notify_one();
  }
  while (r->consumed == r->produced && !r->finished) {
    r->reader_waiting = true;
    r->bytes.wait(hold);
  }
  r->reader_waiting = false;
  if (r->consumed == r->produced) return false;
  size_t index = size_t(r->consumed % kSlots);
  slot = r->memory + index * kSlotSize;
  slot_size = r->sizes[index];
  slot_position = 0;
  holding_slot = true;
  return true;
}

void* allocate_slots() {
  const platform::LargeMemory* memory = platform::large_memory();
  return memory != nullptr ? memory->allocate(nullptr, kSlots * kSlotSize) : malloc(kSlots * kSlotSize);
}

void free_slots(void* slots) {
  const platform::LargeMemory* memory = platform::large_memory();
  if (memory != nullptr)
    memory->release(nullptr, slots);
  else
    free(slots);
}

}  // namespace

bool ring_start() {
  ring = new (std::nothrow) Ring;
  if (ring == nullptr) return false;
  ring->memory = static_cast<unsigned char*>(allocate_slots());
  slot = nullptr;
  slot_size = slot_position = 0;
  holding_slot = false;
  if (ring->memory != nullptr) {
    try {
      ring->decoder = std::thread(decode_ahead, ring);
      return true;
    } catch (const std::system_error&) {
    }
    free_slots(ring->memory);
  }
  delete ring;
  ring = nullptr;
  return false;
}

void ring_take(unsigned char* to, uint64_t count) {
  while (count > 0) {
    if (!reach_byte()) fatal_decode_error();
    take_decoded(slot, &slot_position, slot_size, &to, &count);
  }
}

size_t ring_view(uint64_t count, const unsigned char** data) {
  if (count == 0 || !reach_byte()) return 0;
  *data = slot + slot_position;
  size_t n = slot_size - slot_position;
  return n < count ? n : size_t(count);
}

void ring_stop() {
  {
    std::lock_guard<std::mutex> hold(ring->lock);
    ring->stopping = true;
    if (ring->decoder_waiting) ring->space.notify_one();
  }
  ring->decoder.join();
  free_slots(ring->memory);
  delete ring;
  ring = nullptr;
}
