// The block a finished stub carries is checked before anything in it is used:
// a block the stub cannot trust is treated as no block at all.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "payload/attached.h"

namespace {

void put32(std::vector<unsigned char>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(at + size_t(i)) = uint8_t(v >> (8 * i));
}
void put64(std::vector<unsigned char>& b, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) b.at(at + size_t(i)) = uint8_t(v >> (8 * i));
}

// A well-formed block: six strings "s0".."s5", then the payload "PAYLOAD".
struct Block {
  std::vector<unsigned char> bytes;
  size_t string_at[6];
  size_t payload_at;
};

// With `indexed`, the longer header and the index "INDEX" after the payload.
Block make_block(bool indexed = false) {
  Block b;
  uint32_t header_size = indexed ? kAttachedIndexedHeaderSize : kAttachedHeaderSize;
  b.bytes.assign(header_size, 0);
  memcpy(b.bytes.data(), kAttachedMagic, sizeof kAttachedMagic);
  put32(b.bytes, 8, kAttachedVersion);
  put32(b.bytes, 12, header_size);
  for (int i = 0; i < 6; ++i) {
    b.string_at[i] = b.bytes.size();
    put32(b.bytes, 16 + 8 * size_t(i), uint32_t(b.bytes.size()));
    put32(b.bytes, 20 + 8 * size_t(i), 2);
    for (char c : {'s', char('0' + i), '\0'}) {
      b.bytes.push_back(uint8_t(c));
      b.bytes.push_back(0);
    }
  }
  while (b.bytes.size() % 16 != 0) b.bytes.push_back(0);
  b.payload_at = b.bytes.size();
  put64(b.bytes, 64, b.payload_at);
  put64(b.bytes, 72, 7);
  for (char c : std::string("PAYLOAD")) b.bytes.push_back(uint8_t(c));
  if (indexed) {
    while (b.bytes.size() % 16 != 0) b.bytes.push_back(0);
    put64(b.bytes, 80, b.bytes.size());
    put64(b.bytes, 88, 5);
    for (char c : std::string("INDEX")) b.bytes.push_back(uint8_t(c));
  }
  return b;
}

bool parses(const std::vector<unsigned char>& bytes) {
  AttachedBlock out;
  return parse_attached_block(bytes.data(), bytes.size(), &out);
}

TEST(AttachedBlock, AWellFormedBlockGivesItsStringsAndPayload) {
  Block b = make_block();
  AttachedBlock out;
  ASSERT_TRUE(parse_attached_block(b.bytes.data(), b.bytes.size(), &out));
  for (int i = 0; i < 6; ++i) EXPECT_EQ(std::u16string(out.strings[i]), std::u16string(u"s") + char16_t(u'0' + i));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.payload), size_t(out.payload_size)), "PAYLOAD");
}

TEST(AttachedBlock, ABlockThatCannotBeTrustedIsRefused) {
  EXPECT_FALSE(parses({}));
  Block b = make_block();
  {
    std::vector<unsigned char> cut(b.bytes.begin(), b.bytes.begin() + kAttachedHeaderSize - 1);
    EXPECT_FALSE(parses(cut)) << "shorter than the header";
  }
  auto changed = [&](auto change) {
    std::vector<unsigned char> copy = b.bytes;
    change(copy);
    return parses(copy);
  };
  EXPECT_FALSE(changed([](auto& c) { c[0] ^= 1; })) << "magic";
  EXPECT_FALSE(changed([](auto& c) { put32(c, 8, kAttachedVersion + 1); })) << "version";
  EXPECT_FALSE(changed([](auto& c) { put32(c, 12, kAttachedHeaderSize + 8); })) << "header size";
  EXPECT_FALSE(changed([&](auto& c) { put32(c, 16 + 8 * 5, uint32_t(c.size())); })) << "string past the end";
  EXPECT_FALSE(changed([&](auto& c) { put32(c, 16, 10); })) << "string inside the header";
  EXPECT_FALSE(changed([&](auto& c) { put32(c, 16, uint32_t(b.string_at[0] + 1)); })) << "odd offset";
  EXPECT_FALSE(changed([&](auto& c) { put32(c, 20, 3); })) << "no zero unit after the string";
  EXPECT_FALSE(changed([&](auto& c) { put32(c, 20, 0xFFFFFFFF); })) << "length far past the end";
  EXPECT_FALSE(changed([&](auto& c) { put64(c, 72, 8); })) << "payload past the end";
  EXPECT_FALSE(changed([&](auto& c) { put64(c, 64, c.size() + 1); })) << "payload offset past the end";
  EXPECT_FALSE(changed([&](auto& c) { put64(c, 64, UINT64_MAX - 2); })) << "payload offset that would wrap";
  EXPECT_FALSE(changed([&](auto& c) { put64(c, 72, UINT64_MAX); })) << "payload size that would wrap";
  EXPECT_TRUE(changed([&](auto& c) { put64(c, 72, 0); })) << "an empty payload is still a block";
}

// A block from an older writer has no index; a newer one's index is checked
// like the payload.
TEST(AttachedBlock, TheIndexIsTakenOnlyFromInsideTheBlock) {
  AttachedBlock out;
  Block plain = make_block();
  ASSERT_TRUE(parse_attached_block(plain.bytes.data(), plain.bytes.size(), &out));
  EXPECT_EQ(out.index, nullptr);
  EXPECT_FALSE(out.fast_start);
  Block b = make_block(/*indexed*/ true);
  ASSERT_TRUE(parse_attached_block(b.bytes.data(), b.bytes.size(), &out));
  EXPECT_TRUE(out.fast_start);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.index), size_t(out.index_size)), "INDEX");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.payload), size_t(out.payload_size)), "PAYLOAD");
  auto changed = [&](auto change) {
    std::vector<unsigned char> copy = b.bytes;
    change(copy);
    return parses(copy);
  };
  EXPECT_FALSE(changed([](auto& c) { put64(c, 88, 6); })) << "index past the end";
  EXPECT_FALSE(changed([](auto& c) { put64(c, 80, 40); })) << "index inside the header";
  EXPECT_FALSE(changed([](auto& c) { put64(c, 80, UINT64_MAX - 2); })) << "index offset that would wrap";
  EXPECT_FALSE(changed([](auto& c) { put64(c, 88, UINT64_MAX); })) << "index size that would wrap";
}

}  // namespace

// The footer at the end of a finished Linux stub names the block's range; a
// range that would reach into the footer or past the file is never mapped.
TEST(AttachedFooter, NamesOnlyARangeBeforeItself) {
  auto footer = [](uint64_t offset, uint64_t size) {
    std::vector<unsigned char> f(kAttachedFooterSize);
    put64(f, 0, offset);
    put64(f, 8, size);
    memcpy(f.data() + 16, kAttachedFooterMagic, sizeof kAttachedFooterMagic);
    return f;
  };
  auto parse = [](const std::vector<unsigned char>& f, uint64_t file_size, uint64_t* offset, uint64_t* size) {
    unsigned char bytes[kAttachedFooterSize];
    memcpy(bytes, f.data(), sizeof bytes);
    return parse_attached_footer(bytes, file_size, offset, size);
  };
  uint64_t offset = 0, size = 0;
  ASSERT_TRUE(parse(footer(4096, 100), 4096 + 100 + kAttachedFooterSize, &offset, &size));
  EXPECT_EQ(offset, 4096u);
  EXPECT_EQ(size, 100u);

  EXPECT_FALSE(parse(footer(4096, 101), 4096 + 100 + kAttachedFooterSize, &offset, &size));  // into the footer
  EXPECT_FALSE(parse(footer(4096, 0), 8192, &offset, &size));                                // empty
  EXPECT_FALSE(parse(footer(~uint64_t(0), 2), 8192, &offset, &size));                        // would wrap
  EXPECT_FALSE(parse(footer(0, 1), kAttachedFooterSize - 1, &offset, &size));                // file too short
  std::vector<unsigned char> other = footer(0, 8);
  other[23] ^= 1;
  EXPECT_FALSE(parse(other, 4096, &offset, &size));  // not our magic
}
