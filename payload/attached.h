// The block that the writer attaches to a prebuilt stub launcher: the build
// strings and the payload in one read-only range, so that a launcher can be
// finished without a compiler. Shared by the stub and the writer.
//
//   offset 0    8 bytes   magic "MDXBLOCK"
//   offset 8    4 bytes   layout version, 1
//   offset 12   4 bytes   header size: 80, or 96 with an index: always 96
//                         where the build opted into the index and the second
//                         core (the index is then empty when it had none)
//   offset 16   6 x 8     the strings, in the order of BuildStrings: offset and
//                         length in UTF-16 units; each is UTF-16LE at an even
//                         offset and followed by one zero unit
//   offset 64   8 bytes   payload offset, a multiple of 16
//   offset 72   8 bytes   payload size
//   offset 80   8 bytes   index offset, a multiple of 16 (header size 96 only)
//   offset 88   8 bytes   index size (header size 96 only)
//   then the strings, zeros, the payload, and zeros and the index if any
// All integers are little-endian.
//
// Where the block sits:
// - Windows: it is the contents of the image's last section, ".mordax"
//   (initialized, read-only data), which the loader maps with the image, so a
//   signature over the sections covers it.
// - Linux: it starts at a page-aligned offset of the executable file, after the
//   ELF image and zero padding, and the file ends with a 24-byte footer: the
//   block offset, the block size and the magic "MDXFOOTR".
//
// A stub carries kStubMarker followed by its target name in its read-only data;
// the writer looks for it to tell a stub from any other executable.
//
// A launcher built by mordax_add_launcher carries no block: its payload, index
// and strings are compiled in. A marker in the same section lets the writer
// find them in the file all the same:
//
//   offset 0    8 bytes   magic "MDXBUILT"
//   offset 8    4 bytes   layout version, 1
//   offset 12   4 bytes   marker size, 96
//   offset 16   6 x 8     the strings, in the order of BuildStrings: signed
//                         offsets from the marker; each UTF-16LE, ended by a
//                         zero unit
//   offset 64   8 bytes   payload offset (signed), then 8 bytes payload size
//   offset 80   8 bytes   index offset (signed), then 8 bytes index size (0: none)
// The section is one range of the file, so the offsets hold in the file too.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr unsigned char kAttachedMagic[8] = {'M', 'D', 'X', 'B', 'L', 'O', 'C', 'K'};
constexpr uint32_t kAttachedVersion = 1;
constexpr uint32_t kAttachedHeaderSize = 80;
constexpr uint32_t kAttachedIndexedHeaderSize = 96;
constexpr uint32_t kAttachedStringCount = 6;
constexpr uint64_t kAttachedPayloadAlignment = 16;

constexpr unsigned char kAttachedFooterMagic[8] = {'M', 'D', 'X', 'F', 'O', 'O', 'T', 'R'};
constexpr uint64_t kAttachedFooterSize = 24;
constexpr uint64_t kAttachedFileAlignment = 4096;

constexpr char kWindowsSectionName[8] = {'.', 'm', 'o', 'r', 'd', 'a', 'x', 0};

constexpr unsigned char kBuiltMarkerMagic[8] = {'M', 'D', 'X', 'B', 'U', 'I', 'L', 'T'};
constexpr uint32_t kBuiltMarkerVersion = 1;
constexpr uint32_t kBuiltMarkerSize = 96;

// "mordax-stub/1 " then the target: "windows-x64" or "linux-x64".
constexpr char kStubMarker[] = "mordax-stub/1 ";

/// A block found by the stub, checked against its own size: every offset and
/// length stays inside it and every string ends in its zero unit.
struct AttachedBlock {
  const char16_t* strings[kAttachedStringCount];
  const unsigned char* payload;
  uint64_t payload_size;
  const unsigned char* index;  // null when the block carries none
  uint64_t index_size;
  bool fast_start;  // the header has the index fields, the layout of an opted-in build
};

/// Reads the block's header. False when `data` is not a well-formed block.
bool parse_attached_block(const unsigned char* data, uint64_t size, AttachedBlock* out);

/// Reads the footer that ends a Linux executable of `file_size` bytes: the
/// block's offset and size. False when it is no footer, or names an empty range
/// or one that does not lie before the footer.
bool parse_attached_footer(const unsigned char (&footer)[kAttachedFooterSize], uint64_t file_size,
                           uint64_t* offset, uint64_t* size);
