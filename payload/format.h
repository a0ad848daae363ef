// Layout of the payload the launcher carries, shared by the reader and the
// writer.
//
//   offset 0      3 bytes  magic "QOB"
//   offset 3      F bytes  one Zstandard frame: window 2^27, no content size,
//                          no checksum, no dictionary; decodes to the records
//   offset 3+F    Z bytes  zeros up to a multiple of 8
//   offset T      8 bytes  little-endian T itself; the total length is T + 8
//
// Decoded record stream: records, then an end marker (one zero UTF-16 unit).
//   name      UTF-16LE units, at least one, then a zero unit; relative,
//             components separated by '\'
//   size      uint64 LE, number of content bytes
//   checksum  uint32 LE, CRC-32 of the contents with 1 in place of 0
//   contents  size bytes
#pragma once

#include <cstddef>
#include <cstdint>

constexpr unsigned char kPayloadMagic[3] = {0x51, 0x4F, 0x42};
constexpr int kPayloadWindowLog = 27;
constexpr size_t kPayloadAlignment = 8;
constexpr size_t kRecordNameCapacity = 1024;  // units, terminator included
constexpr char16_t kRecordSeparator = u'\\';
