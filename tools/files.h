// The writer's file input and output: every file is read through one chunked
// reader, and everything written goes through a Sink that counts it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

using Chunk = std::function<void(const unsigned char* data, size_t size)>;

/// Passes the file's bytes to `chunk` in order, in pieces of up to 1 MiB, and
/// returns how many there were; stops before a piece that would take the count
/// past `limit`. Throws Failure "<shown>: <reason>" when the file cannot be
/// opened or read.
uint64_t read_in_chunks(const std::string& path, const std::string& shown, uint64_t limit,
                        const Chunk& chunk);

/// The whole file.
std::vector<unsigned char> read_whole(const std::string& path);

/// Where encoded bytes go: the file, counting them and keeping their CRC-32.
/// put() throws Failure when a write fails.
struct Sink {
  FILE* file;
  uint64_t written = 0;
  uint32_t crc = 0;
  void put(const void* data, size_t size);
};
