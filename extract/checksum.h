// Record checksums: CRC-32 (the zlib/PNG CRC) of a file's whole contents, with 1
// in place of 0, so that 0 can stand for "no usable file".
#pragma once

#include <cstdint>

/// CRC-32 continued from `crc` (0 starts a new one) over `length` bytes. Lengths
/// beyond the library's 32-bit type are fed in pieces.
uint32_t checksum_update(uint32_t crc, const void* data, uint64_t length);

/// The record checksum of a whole buffer.
uint32_t record_checksum(const void* data, uint64_t length);

/// The record checksum of the file at `path`; 0 when it is absent, empty, a
/// directory, or cannot be read whole (platform::read_file).
uint32_t file_checksum(const char16_t* path);
