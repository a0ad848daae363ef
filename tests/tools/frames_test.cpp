// Payloads of several frames: where the writer cuts them, and what it writes.
#define ZSTD_STATIC_LINKING_ONLY  // the frame header's fields
#include <gtest/gtest.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "payload/index.h"
#include "tests/support/payload_builder.h"
#include "tests/tools/writer_support.h"
#include "tools/frames.h"

namespace {

using namespace writer_test;

Record record(const std::u16string& name, uint64_t size) { return Record{"", name, "", size, 0}; }

std::vector<uint64_t> sizes_of(const std::vector<uint64_t>& ends) {
  std::vector<uint64_t> sizes;
  for (size_t i = 0; i < ends.size(); ++i) sizes.push_back(ends[i] - (i == 0 ? 0 : ends[i - 1]));
  return sizes;
}

TEST(FramePlanning, FramesStayWithinTheirBoundsAndBigFilesAreCutAtFixedOffsets) {
  std::vector<Record> records = {record(u"run", 100)};
  for (int i = 0; i < 300; ++i) records.push_back(record(u"lib\\f" + std::u16string(1, char16_t(u'A' + i % 26)) +
                                                         std::u16string(1, char16_t(u'0' + i / 26)), 700000 + i));
  // Records that fill a frame in two or three, whatever their names say.
  for (char16_t c = u'a'; c <= u'l'; ++c) records.push_back(record(u"m\\" + std::u16string(1, c), 20 << 20));
  records.push_back(record(u"huge", 3 * kFileCut + 5));
  records.push_back(record(u"z", 10));
  std::vector<uint64_t> ends = plan_frames(records);
  std::vector<uint64_t> sizes = sizes_of(ends);
  ASSERT_GT(ends.size(), 8u);
  for (size_t i = 0; i + 1 < sizes.size(); ++i) EXPECT_LE(sizes[i], kFrameMost) << "frame " << i;
  // Between records no frame ends before the least.
  uint64_t huge = ends.back() - 2 - (2 * 1 + 2 + 12 + 10) - (3 * kFileCut + 5);  // its contents' first byte
  for (size_t i = 0; i < ends.size() && ends[i] < huge - 2 * 4 - 2 - 12; ++i)
    EXPECT_GE(sizes[i], kFrameLeast) << "frame " << i;
  // A large file starts a frame, once the least has gone by.
  uint64_t at = 0;
  for (const Record& r : records) {
    if (r.name.rfind(u"m\\", 0) == 0 && r.name != u"m\\a") {
      EXPECT_NE(std::find(ends.begin(), ends.end(), at), ends.end()) << "before a file of 20 MiB";
    }
    at += 2 * r.name.size() + 2 + 12 + r.size;
  }
  // Inside the huge record, equal parts at offsets of its own, whatever is before it.
  std::vector<uint64_t> inside;
  for (uint64_t end : ends)
    if (end > huge && end < huge + 3 * kFileCut + 5) inside.push_back(end - huge);
  ASSERT_EQ(inside.size(), 3u);
  for (size_t k = 0; k < inside.size(); ++k) {
    uint64_t part = inside[k] - (k == 0 ? 0 : inside[k - 1]);
    EXPECT_LE(part, kFileCut) << k;
    EXPECT_GE(part, kFileCut / 2) << k;
  }
  std::vector<Record> alone = {record(u"run", 100), record(u"huge", 3 * kFileCut + 5)};
  std::vector<uint64_t> ends_alone = plan_frames(alone);
  uint64_t huge_alone = 2 * 3 + 2 + 12 + 100 + 2 * 4 + 2 + 12;
  for (size_t k = 0; k < inside.size(); ++k) EXPECT_EQ(ends_alone[k] - huge_alone, inside[k]) << k;
}

// Empty records, and sizes at the edges of a cut, between and after large ones:
// every frame holds something, none is too large, and the cuts end the stream.
TEST(FramePlanning, EmptyRecordsAndSizesAtTheEdgesOfACutPlanEveryFrame) {
  std::vector<Record> records = {record(u"run", 0), record(u"e1", 0)};
  for (uint64_t size : {kFileCut, kFileCut + 1, uint64_t(0), 2 * kFileCut, kFrameLeast, kFrameLeast - 1,
                        uint64_t(0), kFrameMost, uint64_t(0)})
    records.push_back(record(u"f" + std::u16string(1, char16_t(u'a' + records.size())), size));
  uint64_t stream = 2;
  for (const Record& r : records) stream += 2 * r.name.size() + 2 + 12 + r.size;
  std::vector<uint64_t> ends = plan_frames(records);
  ASSERT_FALSE(ends.empty());
  EXPECT_EQ(ends.back(), stream);
  for (size_t i = 0; i < ends.size(); ++i) {
    uint64_t size = ends[i] - (i == 0 ? 0 : ends[i - 1]);
    EXPECT_GT(size, 0u) << "frame " << i;
    EXPECT_LE(size, kFrameMost + 2) << "frame " << i;
  }
  // A tree of one empty file is one frame.
  EXPECT_EQ(plan_frames({record(u"run", 0)}), std::vector<uint64_t>{2 * 3 + 2 + 12 + 2});
}

// Large files of about one size in a row (versions of one file, most often)
// share a frame while it has room; one of another size starts a frame.
TEST(FramePlanning, LargeFilesOfAboutOneSizeShareAFrameWhileItHasRoom) {
  const uint64_t mib = uint64_t(1) << 20;
  const struct {
    const char16_t* name;
    uint64_t size;
    bool starts_frame;
  } cases[] = {
      {u"v1", 12 * mib, true},
      {u"v2", 12 * mib + 4096, false},
      {u"v3", 12 * mib - 4096, false},
      {u"v4", 12 * mib, true},          // past the most with the three before it
      {u"v5", 15 * mib, true},          // of another size
      {u"w1", kFileCut, false},         // alike, and uncut
      {u"w2", kFileCut + 1, true},      // cut in two
      {u"w3", kFileCut / 2 + 1, true},  // after a cut record
  };
  std::vector<Record> records = {record(u"run", 100)};
  for (int i = 0; i < 20; ++i) records.push_back(record(u"a\\" + std::u16string(1, char16_t(u'a' + i)), mib));
  for (const auto& c : cases) records.push_back(record(c.name, c.size));
  std::vector<uint64_t> ends = plan_frames(records);
  uint64_t at = 0;
  for (const Record& r : records) {
    for (const auto& c : cases) {
      if (r.name != c.name) continue;
      EXPECT_EQ(std::find(ends.begin(), ends.end(), at) != ends.end(), c.starts_frame)
          << std::string(r.name.begin(), r.name.end());
    }
    at += 2 * r.name.size() + 2 + 12 + r.size;
  }
}

// After a file is added, the cuts past it fall on the same records as before
// within a frame or two, on small files and on large ones alike.
TEST(FramePlanning, AFileAddedMovesOnlyTheCutsNearIt) {
  for (uint64_t typical : {uint64_t(40) << 10, uint64_t(3) << 20}) {
    std::vector<Record> before = {record(u"run", 100)};
    uint32_t seed = 7;
    for (int i = 0; i < int((600u << 20) / typical); ++i) {
      seed = seed * 1103515245u + 12345u;
      before.push_back(record(u"lib\\" + std::u16string(1, char16_t(u'a' + i % 26)) + char16_t(u'0' + i / 26 % 10) +
                                  char16_t(u'A' + i / 260),
                              typical / 2 + seed % typical));
    }
    std::vector<Record> after = before;
    after.insert(after.begin() + 40, record(u"lib\\added", 5 << 20));
    uint64_t shift = 2 * 9 + 2 + 12 + (5 << 20), added_at = 0;
    for (size_t i = 0; i < 40; ++i) added_at += 2 * before[i].name.size() + 2 + 12 + before[i].size;
    std::vector<uint64_t> old_ends = plan_frames(before), new_ends = plan_frames(after);
    std::set<uint64_t> moved(new_ends.begin(), new_ends.end());
    size_t lost = 0;
    for (uint64_t end : old_ends)
      if (end > added_at && moved.count(end + shift) == 0) ++lost;
    EXPECT_GE(old_ends.size(), 12u) << typical;
    EXPECT_LE(lost, 2u) << "of " << old_ends.size() << " cuts, files of about " << typical << " bytes";
  }
}

// The frames of a payload, as found one after another from the magic on.
struct Frame {
  std::string bytes, decoded;
  ZSTD_frameHeader header;
};

std::vector<Frame> frames_of(const std::string& payload) {
  std::vector<Frame> frames;
  for (size_t at = 3; payload.size() - 8 - at >= 4 && uint32_t(le64(payload, at)) == ZSTD_MAGICNUMBER;) {
    size_t n = ZSTD_findFrameCompressedSize(payload.data() + at, payload.size() - 8 - at);
    EXPECT_FALSE(ZSTD_isError(n));
    if (ZSTD_isError(n)) break;
    Frame f{payload.substr(at, n), "", {}};
    EXPECT_EQ(ZSTD_getFrameHeader(&f.header, f.bytes.data(), f.bytes.size()), 0u);
    ZSTD_DCtx* d = ZSTD_createDCtx();
    std::string piece(1 << 20, '\0');
    ZSTD_inBuffer in = {f.bytes.data(), f.bytes.size(), 0};
    for (size_t left = 1; left != 0 && !ZSTD_isError(left);) {
      ZSTD_outBuffer out = {piece.data(), piece.size(), 0};
      left = ZSTD_decompressStream(d, &out, &in);
      f.decoded.append(piece, 0, out.pos);
    }
    ZSTD_freeDCtx(d);
    frames.push_back(std::move(f));
    at += n;
  }
  return frames;
}

class FramedPayload : public ScratchTest {
 protected:
  FramedPayload() : ScratchTest("mordax-frames-") {}
  // A tree just past two targets: a big file cheap to compress, and small
  // files before and after it.
  void SetUp() override {
    ScratchTest::SetUp();
    write_file(dir / "app/run", "#!/bin/sh\n");
    write_file(dir / "app/a.txt", noise(5000, 1));
    std::string block = noise(1 << 16, 2), big;
    while (big.size() < 2 * kFileCut + (1 << 20)) big += block;
    write_file(dir / "app/big", big);
    for (int i = 0; i < 5; ++i) write_file(dir / "app" / ("z" + std::to_string(i)), noise(1000, uint32_t(10 + i)));
  }
  std::string pack_frames(const std::string& out, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {(dir / "app").string(), "--entry", "run", "--level", "1", "--frames",
                                     "-o", (dir / out).string()};
    args.insert(args.end(), extra.begin(), extra.end());
    RunResult r = pack(args);
    EXPECT_EQ(r.status, 0u) << r.err;
    return read_file(dir / out);
  }
};

TEST_F(FramedPayload, TheFramesHoldTheRecordStreamAndTheIndexListsThem) {
  std::string payload = pack_frames("p.bin", {"--index", (dir / "p.index").string(), "--threads", "2"});
  ASSERT_EQ(pack({(dir / "app").string(), "--entry", "run", "--records-only", "-o", (dir / "s.bin").string()}).status,
            0u);
  std::string stream = read_file(dir / "s.bin");
  std::vector<Frame> frames = frames_of(payload);
  ASSERT_GE(frames.size(), 3u);
  std::string joined, decoded;
  for (const Frame& f : frames) {
    EXPECT_EQ(f.header.frameContentSize, ZSTD_CONTENTSIZE_UNKNOWN);
    EXPECT_FALSE(f.header.checksumFlag);
    EXPECT_EQ(f.header.dictID, 0u);
    EXPECT_EQ(f.header.windowSize, uint64_t(1) << frame_window_log(f.decoded.size()));
    EXPECT_LE(f.decoded.size(), kFrameMost);
    joined += f.bytes;
    decoded += f.decoded;
  }
  EXPECT_TRUE(decoded == stream) << "the frames decode to the record stream";
  // Padding and trailer as ever.
  uint64_t trailer = payload.size() - 8;
  EXPECT_EQ(le64(payload, trailer), trailer);
  EXPECT_LT(trailer - 3 - joined.size(), 8u);

  // The zstd command reads the frames one after another.
  write_file(dir / "frames.zst", joined);
  RunResult z = run_program(ZSTD_COMMAND, {"-d", "-q", "-f", (dir / "frames.zst").string(), "-o",
                                           (dir / "frames.out").string()});
  EXPECT_EQ(z.status, 0u) << z.err;
  EXPECT_TRUE(read_file(dir / "frames.out") == stream);

  std::string index = read_file(dir / "p.index");
  IndexReader reader;
  ASSERT_TRUE(parse_index(reinterpret_cast<const unsigned char*>(index.data()), index.size(), 1023, &reader));
  ASSERT_EQ(reader.frame_count, frames.size());
  uint64_t payload_offset = 3, stream_offset = 0;
  for (uint32_t i = 0; i <= reader.frame_count; ++i) {
    EXPECT_EQ(reader.frame(i).payload_offset, payload_offset) << i;
    EXPECT_EQ(reader.frame(i).stream_offset, stream_offset) << i;
    if (i == reader.frame_count) break;
    payload_offset += frames[i].bytes.size();
    stream_offset += frames[i].decoded.size();
  }

  RunResult v = pack({"verify", (dir / "p.bin").string()});
  EXPECT_EQ(v.status, 0u) << v.err;
  RunResult l = pack({"list", (dir / "p.bin").string()});
  EXPECT_NE(l.out.find("\nframes: " + std::to_string(frames.size()) + "\n"), std::string::npos) << l.out;

  // The same bytes whatever the thread count.
  EXPECT_TRUE(pack_frames("one.bin", {"--threads", "1"}) == payload);

  // A launcher finished from the stub carries the same index; verify holds it
  // against the frames it finds.
  std::string launcher = pack_frames("launcher", {"--stub", "linux-x64", "--stub-file", MORDAX_STUB_PATH});
  EXPECT_NE(launcher.find(index), std::string::npos);
  v = pack({"verify", (dir / "launcher").string()});
  EXPECT_EQ(v.status, 0u) << v.err;
}

// The record's checksum changes with it, in the frame that holds its header.
TEST_F(FramedPayload, AByteChangedChangesOnlyTheFramesThatHoldItAndItsChecksum) {
  std::vector<Frame> before = frames_of(pack_frames("before.bin"));
  std::string big = read_file(dir / "app/big");
  uint64_t changed_at = kFileCut + 12345;
  big[changed_at] ^= 0x5a;
  write_file(dir / "app/big", big);
  std::vector<Frame> after = frames_of(pack_frames("after.bin"));
  ASSERT_EQ(before.size(), after.size());
  std::string stream;
  std::vector<uint64_t> starts;
  for (const Frame& f : after) starts.push_back(stream.size()), stream += f.decoded;
  auto frame_at = [&](uint64_t offset) { return size_t(std::upper_bound(starts.begin(), starts.end(), offset) - starts.begin() - 1); };
  uint64_t name = stream.find(std::string("b\0i\0g\0\0\0", 8));
  ASSERT_NE(name, std::string::npos);
  std::set<size_t> expected = {frame_at(name + 8 + 8), frame_at(name + 8 + 12 + changed_at)}, changed;
  for (size_t i = 0; i < before.size(); ++i)
    if (before[i].bytes != after[i].bytes) changed.insert(i);
  EXPECT_EQ(changed, expected);
  EXPECT_EQ(expected.size(), 2u) << "the header and the byte lie in frames of their own";
}

TEST_F(FramedPayload, ATreeTooSmallToCutKeepsItsOneFrameAndOnlyATreeIsCut) {
  fs::remove(dir / "app/big");
  EXPECT_TRUE(pack_frames("framed.bin") ==
              (pack({(dir / "app").string(), "--entry", "run", "--level", "1", "-o", (dir / "plain.bin").string()}),
               read_file(dir / "plain.bin")));
  for (std::vector<std::string> args : {std::vector<std::string>{(dir / "app").string(), "--entry", "run",
                                                                 "--records-only", "--frames", "-o",
                                                                 (dir / "x").string()},
                                        std::vector<std::string>{"--wrap-frame", (dir / "app/run").string(),
                                                                 "--frames", "-o", (dir / "x").string()}}) {
    RunResult r = pack(args);
    EXPECT_EQ(r.status, 1u);
    EXPECT_EQ(r.err.rfind("mordax-pack: usage:", 0), 0u) << r.err;
  }
}


// Payloads for Linux and launchers that opt in are cut without asking;
// --one-frame keeps the one frame that a payload for no target, or for a
// default Windows launcher, has.
TEST_F(FramedPayload, PayloadsForTheFasterDesignAreCutUnlessOneFrameIsAsked) {
  auto packed = [&](const std::string& out, std::vector<std::string> extra) {
    std::vector<std::string> args = {(dir / "app").string(), "--entry", "run", "--level", "1", "-o",
                                     (dir / out).string()};
    args.insert(args.end(), extra.begin(), extra.end());
    RunResult r = pack(args);
    EXPECT_EQ(r.status, 0u) << r.err;
    return read_file(dir / out);
  };
  std::string plain = packed("plain.bin", {});
  EXPECT_EQ(frames_of(plain).size(), 1u);
  EXPECT_TRUE(packed("windows.bin", {"--for", "windows-x64"}) == plain);
  std::string linux_payload = packed("linux.bin", {"--for", "linux-x64"});
  EXPECT_GE(frames_of(linux_payload).size(), 3u);
  EXPECT_TRUE(linux_payload == pack_frames("frames.bin"));
  EXPECT_TRUE(packed("linux-one.bin", {"--for", "linux-x64", "--one-frame"}) == plain);
  expect_refused(pack({(dir / "app").string(), "--entry", "run", "--frames", "--one-frame", "-o",
                       (dir / "both.bin").string()}),
                 "--frames and --one-frame ask for different payloads", dir / "both.bin");

  // A launcher from the stub with one frame unpacks the whole tree.
  packed("launcher", {"--stub", "linux-x64", "--stub-file", MORDAX_STUB_PATH, "--one-frame", "--target-spec",
                      (dir / "unpacked").string()});
  EXPECT_NE(pack({"list", (dir / "launcher").string()}).out.find("\nframes: 1\n"), std::string::npos);
  RunResult run = run_program((dir / "launcher").string(), {});
  EXPECT_EQ(run.status, 0u) << run.err;
  for (const char* name : {"run", "a.txt", "big", "z0", "z4"})
    EXPECT_TRUE(read_file(dir / "unpacked" / name) == read_file(dir / "app" / name)) << name;
}

// The cache's entries, by name, with the file each name has now.
std::map<std::string, fs::file_time_type> entries_in(const fs::path& cache) {
  std::map<std::string, fs::file_time_type> entries;
  for (const fs::directory_entry& e : fs::directory_iterator(cache))
    if (e.path().filename().string().rfind("mordax-frame-", 0) == 0)
      entries[e.path().filename().string()] = e.last_write_time();
  return entries;
}

TEST_F(FramedPayload, ARepackFromTheCacheCompressesOnlyTheChangedFramesAndWritesTheSameBytes) {
  std::string cache = (dir / "cache").string();
  std::string scratch = pack_frames("scratch.bin");
  EXPECT_TRUE(pack_frames("cold.bin", {"--frame-cache", cache}) == scratch);
  auto cold = entries_in(cache);
  std::set<std::string> distinct;
  for (const Frame& f : frames_of(scratch)) distinct.insert(f.decoded);
  EXPECT_EQ(cold.size(), distinct.size());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a rewritten entry gets another time
  EXPECT_TRUE(pack_frames("warm.bin", {"--frame-cache", cache}) == scratch);
  EXPECT_EQ(entries_in(cache), cold) << "every frame came from the cache, and no entry was written again";

  std::string big = read_file(dir / "app/big");
  big[kFileCut + 99] ^= 1;
  write_file(dir / "app/big", big);
  write_file(dir / "cache/notes.txt", "the user's own");
  std::string changed = pack_frames("changed.bin");
  EXPECT_TRUE(pack_frames("repacked.bin", {"--frame-cache", cache}) == changed);
  auto after = entries_in(cache);
  // The frames of the byte and of the header with the checksum are new, and
  // the ones they replace are gone; every other entry is the one kept before.
  std::vector<std::string> kept, added;
  for (const auto& [name, time] : after) (cold.count(name) && cold[name] == time ? kept : added).push_back(name);
  EXPECT_EQ(added.size(), 2u);
  EXPECT_EQ(kept.size(), cold.size() - 2);
  EXPECT_EQ(after.size(), cold.size());
  EXPECT_TRUE(fs::exists(dir / "cache/notes.txt")) << "only the cache's own entries are removed";
}

TEST_F(FramedPayload, ACacheEntryThatIsDamagedForeignOrForOtherBytesIsNeverUsed) {
  std::string cache = (dir / "cache").string();
  std::string level2 = pack_frames("level2.bin", {"--level", "2", "--frame-cache", cache});
  std::map<std::string, std::string> made;  // each level-2 entry, with its bytes
  for (const auto& [name, time] : entries_in(cache)) made[name] = read_file(dir / "cache" / name);
  ASSERT_GE(made.size(), 3u);
  auto it = made.begin();
  const auto& [flipped, flipped_bytes] = *it++;
  const auto& [foreign, foreign_bytes] = *it++;
  const auto& [forged, forged_bytes] = *it;
  // A flipped bit in the frame.
  std::string damaged = flipped_bytes;
  damaged[damaged.size() / 2] ^= 0x10;
  write_file(dir / "cache" / flipped, damaged);
  // An entry made at level 1 for the same bytes, under the level-2 name.
  std::string level1 = (dir / "cache1").string();
  pack_frames("level1.bin", {"--frame-cache", level1});
  std::string same = foreign;
  same.replace(same.find("-l2-"), 4, "-l1-");
  ASSERT_TRUE(fs::exists(dir / "cache1" / same));
  fs::copy_file(dir / "cache1" / same, dir / "cache" / foreign, fs::copy_options::overwrite_existing);
  // The header and checksums right, but a frame of other bytes of the same length.
  uint64_t size = le64(forged_bytes, 24);
  int window_log = int(uint32_t(le64(forged_bytes, 20)));
  std::string zeros(size, '\0'), frame(ZSTD_compressBound(size), '\0');
  ZSTD_CCtx* c = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, window_log);
  ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 0);
  frame.resize(ZSTD_compress2(c, frame.data(), frame.size(), zeros.data(), zeros.size()));
  ZSTD_freeCCtx(c);
  std::string lie = forged_bytes.substr(0, 40) + frame;
  store_le32(reinterpret_cast<unsigned char*>(lie.data()) + 36,
             uint32_t(crc32(0, reinterpret_cast<const Bytef*>(frame.data()), uInt(frame.size()))));
  write_file(dir / "cache" / forged, lie);

  RunResult r = pack({(dir / "app").string(), "--entry", "run", "--level", "2", "--frames", "--frame-cache", cache,
                      "-o", (dir / "again.bin").string()});
  EXPECT_EQ(r.status, 0u) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(read_file(dir / "again.bin") == level2);
  for (const std::string& name : {flipped, foreign, forged})
    EXPECT_TRUE(read_file(dir / "cache" / name) == made[name]) << name << " made anew";
}

// A frame of `decoded` that the writer would not make itself: a block ends
// halfway, so the payload shows which frames came from the cache.
std::string frame_cut_halfway(const std::string& decoded, int window_log) {
  ZSTD_CCtx* c = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, window_log);
  std::string frame(ZSTD_compressBound(decoded.size()) + 64, '\0');
  ZSTD_outBuffer out = {frame.data(), frame.size(), 0};
  ZSTD_inBuffer first = {decoded.data(), decoded.size() / 2, 0};
  ZSTD_inBuffer rest = {decoded.data() + decoded.size() / 2, decoded.size() - decoded.size() / 2, 0};
  EXPECT_EQ(ZSTD_compressStream2(c, &out, &first, ZSTD_e_flush), 0u);
  EXPECT_EQ(ZSTD_compressStream2(c, &out, &rest, ZSTD_e_end), 0u);
  ZSTD_freeCCtx(c);
  frame.resize(out.pos);
  return frame;
}

TEST_F(FramedPayload, AnEntryThatCannotBeKeptStopsTheKeepingButNotTheReading) {
  std::string cache = (dir / "cache").string();
  std::vector<Frame> frames = frames_of(pack_frames("cold.bin", {"--frame-cache", cache}));
  ASSERT_GE(frames.size(), 3u);
  std::map<std::string, std::string> cached;  // decoded bytes, with the frame their entry now holds
  for (const auto& [name, time] : entries_in(cache)) {
    std::string entry = read_file(dir / "cache" / name);
    std::string decoded(le64(entry, 24), '\0');
    ZSTD_decompress(decoded.data(), decoded.size(), entry.data() + 40, entry.size() - 40);
    std::string frame = frame_cut_halfway(decoded, int(uint32_t(le64(entry, 20))));
    entry = entry.substr(0, 40) + frame;
    store_le32(reinterpret_cast<unsigned char*>(entry.data()) + 36,
               uint32_t(crc32(0, reinterpret_cast<const Bytef*>(frame.data()), uInt(frame.size()))));
    write_file(dir / "cache" / name, entry);
    cached[decoded] = frame;
  }
  // The first frame's entry turned into a folder: it is not read, and no entry
  // can be moved over it, even by root.
  char first[32];
  snprintf(first, sizeof first, "-%zu-%08lx.zst", frames[0].decoded.size(),
           crc32(0, reinterpret_cast<const Bytef*>(frames[0].decoded.data()), uInt(frames[0].decoded.size())));
  size_t blocked = 0;
  for (const auto& [name, time] : entries_in(cache)) {
    if (name.size() > strlen(first) && name.compare(name.size() - strlen(first), std::string::npos, first) == 0) {
      fs::remove(dir / "cache" / name);
      fs::create_directory(dir / "cache" / name);
      ++blocked;
    }
  }
  ASSERT_EQ(blocked, 1u);

  RunResult r = pack({(dir / "app").string(), "--entry", "run", "--level", "1", "--frames", "--threads", "1",
                      "--frame-cache", cache, "-o", (dir / "warm.bin").string()});
  EXPECT_EQ(r.status, 0u) << r.err;
  EXPECT_EQ(r.err, "mordax-pack: warning: frame cache " + cache +
                       ": Is a directory; keeping no more frames in it\n");
  std::vector<Frame> warm = frames_of(read_file(dir / "warm.bin"));
  ASSERT_EQ(warm.size(), frames.size());
  EXPECT_TRUE(warm[0].bytes == frames[0].bytes) << "compressed anew";
  for (size_t i = 1; i < warm.size(); ++i)
    EXPECT_TRUE(warm[i].bytes == cached[warm[i].decoded]) << "frame " << i << " not read from the cache";
}

TEST_F(FramedPayload, ACacheThatCannotBeMadeIsSaidOnceAndThePackGoesOn) {
  write_file(dir / "not-a-folder", "x");
  std::string plain = pack_frames("plain.bin");
  RunResult r = pack({(dir / "app").string(), "--entry", "run", "--level", "1", "--frames", "--frame-cache",
                      (dir / "not-a-folder/cache").string(), "-o", (dir / "out.bin").string()});
  EXPECT_EQ(r.status, 0u);
  EXPECT_EQ(r.err, "mordax-pack: warning: frame cache " + (dir / "not-a-folder/cache").string() +
                       ": Not a directory; packing without it\n");
  EXPECT_TRUE(read_file(dir / "out.bin") == plain);
  // A payload of one frame keeps nothing, and a cache in the tree would be packed.
  r = pack({(dir / "app").string(), "--entry", "run", "--frame-cache", (dir / "c").string(), "-o",
            (dir / "one.bin").string()});
  expect_refused(r, "--frame-cache keeps frames", dir / "one.bin");
  r = pack({(dir / "app").string(), "--entry", "run", "--frames", "--frame-cache",
            (dir / "app/big/../cache").string(), "-o", (dir / "in.bin").string()});
  expect_refused(r, "inside " + (dir / "app").string() + ", whose every file is packed", dir / "in.bin");
  EXPECT_FALSE(fs::exists(dir / "app/cache"));
}

}  // namespace
