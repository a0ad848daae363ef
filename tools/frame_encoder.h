// Compressing the record stream frame by frame: each frame is independent, so
// several are compressed at once, and one whose decoded bytes a cache entry
// already holds is not compressed at all. The bytes written depend only on the
// stream, the plan and the level: never on the thread count or the cache.
#pragma once

#include <zstd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "payload/index.h"
#include "tools/files.h"
#include "tools/records.h"

/// A compressor with the payload's settings and `window_log`. Its one worker
/// at least keeps the bytes the same whatever `workers` says; the
/// single-threaded mode (0 workers) would give other bytes.
ZSTD_CCtx* make_compressor(int level, int workers, int window_log);

struct FrameSettings {
  int level;
  int threads;             // frames compressed at once
  std::string cache_dir;   // tools/frame_cache.h; empty for none
};

/// Writes the frames `ends` (tools/frames.h) cuts the records' stream into,
/// one after another, to `sink`, and returns their bounds as the index lists
/// them, the stream's end last. The records' checksums must be set; a file
/// that no longer gives them throws Failure. `progress` is told the stream
/// bytes written after each frame.
std::vector<IndexFrame> write_frames(const std::vector<Record>& records, const std::vector<uint64_t>& ends,
                                     const FrameSettings& settings, Sink& sink,
                                     const std::function<void(uint64_t)>& progress);
