// The payload reader: decodes the embedded frame and hands out exactly the
// bytes asked for. One instance per process, called from the main thread only.
// It runs in one of two ways, with the same results and the same failures:
// - on the calling thread, decoding on demand through one fixed 128 KiB buffer;
// - on two cores: a decoding thread of its own decodes ahead into the frame's
//   window, where the caller may take the bytes in place (payload_view).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint64_t kDecodeBufferSize = 131072;

/// The payload bytes in the launcher's read-only data; supplied by the build.
struct PayloadBytes {
  const unsigned char* data;
  uint64_t size;
};
PayloadBytes embedded_payload();

/// Whether the build opted this launcher into the index and the second core
/// (a choice of Windows builds; Linux launchers have both whatever it says).
bool embedded_fast_start();

/// Checks the magic, allocates the buffers and the decoder context and, with
/// `two_cores`, starts the decoding thread (decoding on the calling thread when
/// its buffer or its thread cannot be had, or for a frame too small to gain).
/// With `huge_pages` the decoder's window comes from the platform's large
/// memory (for a payload large enough to gain), where it decodes faster but
/// costs more to touch first. Returns only on success; otherwise stops the launcher
/// ("couldn't find attached data header" before anything is allocated, or
/// "couldn't allocate memory").
void payload_open(bool two_cores, bool huge_pages);

/// Copies exactly the next `count` decoded bytes to `destination`, or stops the
/// launcher with "couldn't decode attached data" when the frame is corrupt or the
/// input is used up while bytes are still wanted. Once the input is used up,
/// only a read that ran a step filling the 128 KiB buffer runs another (the
/// decoder may hold more bytes then): a read of more than a step may go on
/// where reads of a chunk each stop.
void payload_read(void* destination, uint64_t count);

/// Passes over the next `count` decoded bytes exactly as payload_read would
/// deliver them (the same decoding steps, the same failures), without copying.
void payload_skip(uint64_t count);

/// The next decoded bytes as they lie in the reader's own memory, at most
/// `count`, without consuming them (payload_skip does): valid until the next
/// call. 0 when the reader on the calling thread is open (it hands out nothing
/// in place) or no decoded byte is left; payload_read then says which.
size_t payload_view(uint64_t count, const unsigned char** data);

/// Ends the decoding thread if one runs, then frees the decoder context, then the decode buffer.
void payload_close();
