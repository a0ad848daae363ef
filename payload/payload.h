// The payload reader: decodes the embedded frame on demand through one fixed
// 128 KiB buffer and hands out exactly the bytes asked for. One instance per
// process, used by the main thread only.
#pragma once

#include <cstdint>

constexpr uint64_t kDecodeBufferSize = 131072;

/// The payload bytes in the launcher's read-only data; supplied by the build.
struct PayloadBytes {
  const unsigned char* data;
  uint64_t size;
};
PayloadBytes embedded_payload();

/// Checks the magic, allocates the decode buffer and the decoder context. Returns
/// only on success; otherwise stops the launcher ("couldn't find attached data
/// header" before anything is allocated, or "couldn't allocate memory").
void payload_open();

/// Copies exactly the next `count` decoded bytes to `destination`, or stops the
/// launcher with "couldn't decode attached data" when the frame is corrupt or the
/// input is used up while bytes are still wanted.
void payload_read(void* destination, uint64_t count);

/// Passes over the next `count` decoded bytes exactly as payload_read would
/// deliver them (the same decoding steps, the same failures), without copying.
void payload_skip(uint64_t count);

/// Frees the decoder context, then the decode buffer.
void payload_close();
