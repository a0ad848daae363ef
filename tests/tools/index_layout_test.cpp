// The index's frame list as parse_index() checks it, on bytes made by hand: a
// launcher trusts the boundaries it lists to decode single frames, so a list
// that cannot be the payload's is refused whole.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "common/little_endian.h"
#include "payload/index.h"

namespace {

void le(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(char(value >> (8 * i)));
}

// Two records, a.exe of 3 bytes and b of none: a stream of 27 + 16 + 2 bytes.
constexpr uint64_t kStream = 45;
constexpr uint64_t kPayloadSize = 64;

std::string records() {
  std::string body;
  for (char c : std::string("a.exe")) le(body, uint8_t(c), 2);
  le(body, 0, 2), le(body, 3, 8), le(body, 0x352441c2, 4);
  le(body, 'b', 2), le(body, 0, 2), le(body, 0, 8), le(body, 1, 4);
  return body;
}

// The frame list as given (count, then each boundary), `extra` after it.
std::string index_of(uint32_t version, const std::vector<IndexFrame>& bounds, uint32_t count,
                     const std::string& extra = "") {
  std::string body = records();
  if (version == 2) {
    le(body, count, 4);
    for (const IndexFrame& b : bounds) le(body, b.payload_offset, 8), le(body, b.stream_offset, 8);
  }
  body += extra;
  std::string index = "MDXINDEX";
  le(index, version, 4), le(index, 2, 4), le(index, kPayloadSize, 8), le(index, 0, 4);
  le(index, crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size())), 4);
  return index + body;
}

bool parses(const std::string& index, IndexReader* reader) {
  return parse_index(reinterpret_cast<const unsigned char*>(index.data()), index.size(), 1023, reader);
}

TEST(IndexLayout, TheFrameListIsReadAndALayoutWithoutOneStillIs) {
  IndexReader reader;
  const std::string two = index_of(2, {{3, 0}, {20, 30}, {40, kStream}}, 2);
  ASSERT_TRUE(parses(two, &reader));
  ASSERT_EQ(reader.frame_count, 2u);
  EXPECT_EQ(reader.frame(1).payload_offset, 20u);
  EXPECT_EQ(reader.frame(1).stream_offset, 30u);
  EXPECT_EQ(reader.frame(2).payload_offset, 40u);
  EXPECT_EQ(reader.frame(2).stream_offset, kStream);
  IndexEntry entry;
  ASSERT_TRUE(reader.next(&entry));
  EXPECT_EQ(entry.units, 5u);
  ASSERT_TRUE(reader.next(&entry));
  EXPECT_EQ(entry.units, 1u);
  EXPECT_FALSE(reader.next(&entry)) << "the frame list is not read as a record";

  const std::string old = index_of(1, {}, 0);
  ASSERT_TRUE(parses(old, &reader));
  EXPECT_EQ(reader.frames, nullptr);
  EXPECT_EQ(reader.frame_count, 0u);
  EXPECT_FALSE(parses(index_of(1, {}, 0, std::string(20, '\0')), &reader)) << "layout 1 ends with its records";
}

TEST(IndexLayout, AFrameListThatCannotBeThePayloadsIsRefused) {
  IndexReader reader;
  const IndexFrame end = {40, kStream};
  const struct {
    const char* why;
    std::vector<IndexFrame> bounds;
    uint32_t count;
    std::string extra;
  } cases[] = {
      {"no frames", {{3, 0}}, 0, ""},
      {"the count says one more", {{3, 0}, end}, 2, ""},
      {"a byte left over", {{3, 0}, end}, 1, std::string(1, '\0')},
      {"no frame list at all", {}, 0, "\1\0"},
      {"the first frame not after the magic", {{4, 0}, end}, 1, ""},
      {"the first frame not at the stream's start", {{3, 1}, end}, 1, ""},
      {"the stream shorter than the records", {{3, 0}, {40, kStream - 1}}, 1, ""},
      {"the stream longer than the records", {{3, 0}, {40, kStream + 1}}, 1, ""},
      {"no room for the trailer", {{3, 0}, {kPayloadSize - 7, kStream}}, 1, ""},
      {"a frame of no compressed bytes", {{3, 0}, {20, 30}, {20, 31}, end}, 3, ""},
      {"a frame of no decoded bytes", {{3, 0}, {20, 30}, {30, 30}, end}, 3, ""},
      {"boundaries falling back", {{3, 0}, {30, 30}, {20, 35}, end}, 3, ""},
  };
  ASSERT_TRUE(parses(index_of(2, {{3, 0}, {kPayloadSize - 8, kStream}}, 1), &reader)) << "the trailer's room is enough";
  for (const auto& c : cases) EXPECT_FALSE(parses(index_of(2, c.bounds, c.count, c.extra), &reader)) << c.why;
}

// Sizes that the stream's length could only hold past 2^64 bytes.
TEST(IndexLayout, SizesThatWrapTheStreamsLengthAreRefused) {
  std::string body;
  for (int i = 0; i < 2; ++i) le(body, 'x', 2), le(body, 0, 2), le(body, UINT64_MAX / 2 + 1, 8), le(body, 1, 4);
  le(body, 1, 4), le(body, 3, 8), le(body, 0, 8), le(body, 40, 8), le(body, 2 * 16 + 2, 8);
  std::string index = "MDXINDEX";
  le(index, 2, 4), le(index, 2, 4), le(index, kPayloadSize, 8), le(index, 0, 4);
  le(index, crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size())), 4);
  IndexReader reader;
  EXPECT_FALSE(parses(index + body, &reader));
}

}  // namespace
