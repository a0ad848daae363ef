// mordax-pack list, verify and extract on payloads made to order and on Linux
// launchers finished from the stub. (Launchers built by CMake, Windows
// launchers and the failure table: tests/e2e/inspect_test.sh.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zstd.h>

#include <string>
#include <vector>

#include "payload/attached.h"
#include "payload/index.h"
#include "tests/support/payload_builder.h"
#include "tests/tools/writer_support.h"

namespace {

using namespace writer_test;

class Inspect : public ScratchTest {
 protected:
  Inspect() : ScratchTest("mordax-inspect-") {}
  fs::path put(const std::string& name, const std::string& bytes) {
    write_file(dir / name, bytes);
    return dir / name;
  }
  // A refusal: non-zero status, one line on standard error naming `why`,
  // nothing on standard output.
  void expect_verify_refuses(const std::string& payload, const std::string& why) {
    RunResult r = pack({"verify", put("damaged.bin", payload).string()});
    EXPECT_NE(r.status, 0u) << why;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find(why), std::string::npos) << "wanted: " << why << "\ngot: " << r.err;
    EXPECT_EQ(r.out, "");
  }
  std::string frame_with(const std::string& stream, ZSTD_cParameter parameter, int value) {
    ZSTD_CCtx* c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, 27);
    ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 0);
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 0);
    ZSTD_CCtx_setParameter(c, parameter, value);
    std::string out(ZSTD_compressBound(stream.size()) + 64, '\0');
    size_t n = ZSTD_compress2(c, out.data(), out.size(), stream.data(), stream.size());
    ZSTD_freeCCtx(c);
    out.resize(ZSTD_isError(n) ? 0 : n);
    return out;
  }
  std::string launcher(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {(dir / "app").string(), "--entry", "run", "--level", "3", "--stub", "linux-x64",
                                     "--stub-file", MORDAX_STUB_PATH, "-o", (dir / "launcher").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    RunResult r = pack(args);
    EXPECT_EQ(r.status, 0u) << r.err;
    return (dir / "launcher").string();
  }
};

const std::vector<RecordSpec> kTwo = {{u"a.exe", "abc"}, {u"d\\e.txt", ""}};

TEST_F(Inspect, ListShowsALinePerRecordAndTheStrings) {
  RunResult r = pack({"list", put("p.bin", make_payload(kTwo)).string()});
  EXPECT_EQ(r.status, 0u) << r.err;
  // The checksum of "abc" from the worked example; an empty record stores 1.
  EXPECT_EQ(r.out, "payload\n           3  352441c2  a.exe\n           0  00000001  d/e.txt\nframes: 1\n");

  write_file(dir / "app/run", "#!/bin/sh\n");
  write_file(dir / "app/caf\xc3\xa9/x.txt", "x");
  r = pack({"list", launcher({"--company", "\xc3\x96rnek", "--version", "4.5", "--target-spec", "{TEMP}/w"})});
  EXPECT_EQ(r.status, 0u) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find("index: ")),
            "linux-x64 launcher finished from the stub\ntarget spec: {TEMP}/w\ncompany: \xc3\x96rnek\n"
            "product: Tarvell Pro\nversion: 4.5\nfile version: 2.3.8\nproduct version: 2.3.8\n");
  EXPECT_NE(r.out.find("  run\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  caf\xc3\xa9/x.txt\n"), std::string::npos) << r.out;
}

TEST_F(Inspect, VerifyPassesWhatTheWriterMakes) {
  write_file(dir / "app/run", "#!/bin/sh\n");
  write_file(dir / "app/lib/data", noise(300000, 3));
  ASSERT_EQ(pack({(dir / "app").string(), "--entry", "run", "-o", (dir / "p.bin").string()}).status, 0u);
  RunResult r = pack({"verify", (dir / "p.bin").string()});
  EXPECT_EQ(r.status, 0u) << r.err;
  EXPECT_EQ(r.out, "payload: 2 records, every checksum matches\n");
  r = pack({"verify", launcher()});
  EXPECT_EQ(r.status, 0u) << r.err;
  EXPECT_EQ(r.out, "linux-x64 launcher finished from the stub: 2 records, every checksum matches\n");
}

TEST_F(Inspect, VerifyNamesWhatIsWrongWithTheLayoutAndTheFrame) {
  std::string stream = record_stream(kTwo);
  std::string good = make_payload(kTwo);
  std::string bad = good;
  bad[1] = 'X';
  expect_verify_refuses(bad, "does not begin with the magic \"QOB\"");
  bad = good;
  bad[bad.size() - 8] ^= 8;
  expect_verify_refuses(bad, "the last 8 bytes do not hold the trailer's own offset");
  expect_verify_refuses(wrap_payload("no frame at all"), "the bytes after the magic do not begin a Zstandard frame");
  std::string frame = compress_frame(stream);
  expect_verify_refuses(wrap_payload(frame.substr(0, frame.size() / 2)), "the frame is cut short or damaged");
  expect_verify_refuses(wrap_payload(frame + frame), "bytes between the frame and the trailer, where at most 7");
  // The frame ends where the padding begins: one padding byte made non-zero.
  std::string padded = wrap_payload(frame);
  if (3 + frame.size() < padded.size() - 8) {
    padded[3 + frame.size()] = 1;
    expect_verify_refuses(padded, "non-zero bytes between the frame and the trailer");
  }
  expect_verify_refuses(wrap_payload(frame_with(stream, ZSTD_c_contentSizeFlag, 1)),
                        "the frame header stores the content size");
  expect_verify_refuses(wrap_payload(frame_with(stream, ZSTD_c_checksumFlag, 1)),
                        "the frame carries a content checksum");
  expect_verify_refuses(wrap_payload(compress_frame(stream, 28)), "the frame's window is 256 MiB, more than the launcher's 128 MiB");
  expect_verify_refuses(wrap_payload(compress_frame(stream, 26)), "the frame's window is 64 MiB, not 128 MiB");
  // A one-byte dictionary id in the frame header: descriptor flag 1, the id
  // after the window descriptor.
  std::string with_dictionary = frame;
  with_dictionary[4] = char(with_dictionary[4] | 1);
  with_dictionary.insert(6, 1, '\7');
  expect_verify_refuses(wrap_payload(with_dictionary), "the frame needs dictionary 7");
}

TEST_F(Inspect, VerifyNamesWhatIsWrongWithTheRecords) {
  // The second record's stored checksum, one bit off.
  std::string stream = record_stream({{u"a.exe", "abc"}, {u"b.txt", "bbb"}});
  stream[stream.size() - 2 - 3 - 4] ^= 1;
  expect_verify_refuses(wrap_payload(compress_frame(stream)), "record 2 (b.txt): stored checksum ");
  expect_verify_refuses(wrap_payload(compress_frame(record_stream(kTwo, false))),
                        "the record stream ends before its end marker");
  expect_verify_refuses(make_payload({}), "no records: the launcher would have nothing to start");
  expect_verify_refuses(wrap_payload(compress_frame(record_stream(kTwo) + "xyz")), "3 bytes after the end marker");
  expect_verify_refuses(make_payload({{u"a.exe", "a"}, {u"x\\..\\..\\y", "b"}}), "record 2 (x/../../y): '.' or '..' component");
  expect_verify_refuses(make_payload({{u"a.exe", "a"}, {u"x/y", "b"}}), "record 2 (x/y): a '/' in the name");
  expect_verify_refuses(make_payload({{u"\\a.exe", "a"}}), "record 1 (/a.exe): absolute name");
  expect_verify_refuses(make_payload({{u"a\xD800", "a"}}), "record 1 (a\xef\xbf\xbd): the name is not valid UTF-16");
  expect_verify_refuses(make_payload({{std::u16string(1024, u'n'), "a"}}), "record 1: a name longer than 1023 UTF-16 units");
}

// Frames cut where `cuts` say, in the stream, each compressed on its own.
std::string frames_at(const std::string& stream, const std::vector<size_t>& cuts, int window_log = 27) {
  std::string frames;
  size_t from = 0;
  for (size_t cut : cuts) frames += compress_frame(stream.substr(from, cut - from), window_log), from = cut;
  return frames + compress_frame(stream.substr(from), window_log);
}

const std::vector<RecordSpec> kFramed = {{u"a.exe", "abc"}, {u"d\\e.txt", "hello"}};

// Offsets in kFramed's stream: a.exe's name is 10 bytes and its zero unit 2,
// then 8 of size and 4 of checksum before its 3 content bytes; the end marker
// comes last.
TEST_F(Inspect, AFrameMayEndAnywhereInTheStream) {
  std::string stream = record_stream(kFramed);
  std::string payload = wrap_payload(frames_at(stream, {5, 15, 22, 25, stream.size() - 1}));
  RunResult r = pack({"verify", put("p.bin", payload).string()});
  EXPECT_EQ(r.status, 0u) << r.err;
  EXPECT_EQ(r.out, "payload: 2 records, every checksum matches\n");
  r = pack({"list", (dir / "p.bin").string()});
  EXPECT_EQ(r.out, "payload\n           3  352441c2  a.exe\n           5  3610a686  d/e.txt\nframes: 6\n");
  r = pack({"extract", (dir / "p.bin").string(), (dir / "out").string()});
  EXPECT_EQ(r.status, 0u) << r.err;
  EXPECT_EQ(read_file(dir / "out/a.exe"), "abc");
  EXPECT_EQ(read_file(dir / "out/d/e.txt"), "hello");
}

TEST_F(Inspect, VerifyNamesWhatIsWrongWithAFrameOfSeveral) {
  std::string stream = record_stream(kFramed);
  std::string first = compress_frame(stream.substr(0, 20));
  expect_verify_refuses(wrap_payload(first + frame_with(stream.substr(20), ZSTD_c_checksumFlag, 1)),
                        "frame 2 carries a content checksum");
  expect_verify_refuses(wrap_payload(first + compress_frame(stream.substr(20), 28)),
                        "frame 2's window is 256 MiB, more than the launcher's 128 MiB");
  std::string cut = compress_frame(stream.substr(20));
  expect_verify_refuses(wrap_payload(first + cut.substr(0, cut.size() / 2)), "frame 2 is cut short or damaged");
  // The stream ends with the last frame, or goes on past its end marker there.
  expect_verify_refuses(wrap_payload(first + compress_frame(stream.substr(20, stream.size() - 22))),
                        "the record stream ends before its end marker");
  expect_verify_refuses(wrap_payload(first + compress_frame(stream.substr(20) + "xyz")), "3 bytes after the end marker");
  // A frame after the one that ends the stream is never read.
  std::string whole = frames_at(stream, {20});
  expect_verify_refuses(wrap_payload(whole + compress_frame("more")),
                        std::to_string(wrap_payload(whole + compress_frame("more")).size() - 8 - 3 - whole.size()) +
                            " bytes between the frame and the trailer");
  // One of several frames is made with the least window that holds it.
  std::string big = record_stream({{u"a.exe", noise(5000, 4)}});
  expect_verify_refuses(wrap_payload(frames_at(big, {100}, 10)),
                        "frame 2's window is 1 KiB, less than the " + std::to_string(big.size() - 100) +
                            " bytes it decodes to");
  RunResult fits = pack({"verify", put("fits.bin", wrap_payload(frames_at(big, {100}, 13))).string()});
  EXPECT_EQ(fits.status, 0u) << fits.err;
}

TEST_F(Inspect, VerifyChecksTheIndexALauncherCarries) {
  write_file(dir / "app/run", "#!/bin/sh\n");
  write_file(dir / "app/x.txt", "x");
  std::string out = read_file(launcher());
  uint64_t offset = le64(out, out.size() - 24), size = le64(out, out.size() - 16);
  AttachedBlock block;
  ASSERT_TRUE(parse_attached_block(reinterpret_cast<const unsigned char*>(out.data() + offset), size, &block));
  ASSERT_NE(block.index, nullptr);
  size_t index = size_t(block.index - reinterpret_cast<const unsigned char*>(out.data()));
  // The list of one frame ends the index: 4 bytes of count, two boundaries.
  size_t frames = index + block.index_size - 4 - 2 * kIndexFrameEntrySize;
  auto refused = [&](size_t at, const std::string& why) {
    std::string changed = out;
    changed[at] ^= 1;
    RunResult r = pack({"verify", put("changed", changed).string()});
    EXPECT_NE(r.status, 0u) << why;
    EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
  };
  // The high byte of the last record's checksum.
  refused(frames - 1, "the index does not list the payload's records");
  // Where the frame ends in the payload, then in the stream.
  refused(frames + 4 + kIndexFrameEntrySize, "the index does not list the payload's frames");
  refused(frames + 4 + kIndexFrameEntrySize + 8, "the index does not list the payload's frames");
  refused(index + 28, "the index is damaged");
}

TEST_F(Inspect, ExtractWritesTheRecordsAndReplacesFilesOnlyWithForce) {
  write_file(dir / "app/run", "#!/bin/sh\n");
  write_file(dir / "app/lib/deep/data.txt", "data\n");
  write_file(dir / "app/lib/empty", "");
  std::string file = launcher();
  fs::path out = dir / "out";
  RunResult r = pack({"extract", file, out.string()});
  ASSERT_EQ(r.status, 0u) << r.err;
  EXPECT_EQ(r.out, "3 records written below " + out.string() + "\n");
  EXPECT_EQ(read_file(out / "run"), "#!/bin/sh\n");
  EXPECT_EQ(read_file(out / "lib/deep/data.txt"), "data\n");
  EXPECT_TRUE(fs::is_regular_file(out / "lib/empty"));
  // As the launcher leaves them: the program runs, the data does not.
  EXPECT_NE(fs::status(out / "run").permissions() & fs::perms::owner_exec, fs::perms::none);
  EXPECT_EQ(fs::status(out / "lib/deep/data.txt").permissions() & fs::perms::owner_exec, fs::perms::none);

  write_file(out / "lib/deep/data.txt", "changed by hand\n");
  r = pack({"extract", file, out.string()});
  EXPECT_NE(r.status, 0u);
  EXPECT_NE(r.err.find("run: exists already (--force replaces it)"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(out / "lib/deep/data.txt"), "changed by hand\n");
  r = pack({"extract", "--force", file, out.string()});
  EXPECT_EQ(r.status, 0u) << r.err;
  EXPECT_EQ(read_file(out / "lib/deep/data.txt"), "data\n");
}

TEST_F(Inspect, ExtractRefusesNamesThatLeaveTheFolder) {
  for (const char16_t* bad : {u"..\\evil", u"a\\..\\..\\evil", u"a/../../evil", u".. \\evil"}) {
    fs::remove_all(dir / "out");
    fs::path payload = put("p.bin", make_payload({{u"a.exe", "a"}, {bad, "evil"}}));
    RunResult r = pack({"extract", payload.string(), (dir / "out").string()});
    EXPECT_NE(r.status, 0u);
    EXPECT_NE(r.err.find("record 2"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("the name leaves the folder"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "evil"));
    EXPECT_FALSE(fs::exists(dir / "out/evil"));
  }
}

TEST_F(Inspect, ExtractFollowsNoLinkPlantedInTheFolder) {
  fs::path payload = put("p.bin", make_payload({{u"a.exe", "new"}, {u"lib\\x.txt", "x"}}));
  fs::path outside = dir / "outside", out = dir / "out";
  write_file(outside / "a.exe", "kept");
  fs::create_directories(out);
  fs::create_directory_symlink(outside, out / "lib");
  for (bool force : {false, true}) {
    std::vector<std::string> args = {"extract", payload.string(), out.string()};
    if (force) args.push_back("--force");
    RunResult r = pack(args);
    EXPECT_NE(r.status, 0u);
    EXPECT_NE(r.err.find("lib/x.txt: lib in its path is a symbolic link or a file, not a folder"), std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(outside / "x.txt"));
  }
  // A link in the file's own place: kept without --force, replaced itself
  // with it, and what it points to is never written.
  fs::remove(out / "lib");
  fs::remove(out / "a.exe");
  fs::create_symlink(outside / "a.exe", out / "a.exe");
  RunResult r = pack({"extract", payload.string(), out.string()});
  EXPECT_NE(r.status, 0u);
  EXPECT_NE(r.err.find("a.exe: exists already"), std::string::npos) << r.err;
  r = pack({"extract", payload.string(), out.string(), "--force"});
  EXPECT_EQ(r.status, 0u) << r.err;
  EXPECT_FALSE(fs::is_symlink(out / "a.exe"));
  EXPECT_EQ(read_file(out / "a.exe"), "new");
  EXPECT_EQ(read_file(outside / "a.exe"), "kept");
  EXPECT_EQ(read_file(out / "lib/x.txt"), "x");
}

TEST_F(Inspect, ExtractRefusesARecordWhoseContentsDisagreeWithItsChecksum) {
  std::string stream = record_stream({{u"a.exe", "abc"}});
  stream[stream.size() - 2 - 3 - 4] ^= 1;
  RunResult r = pack({"extract", put("p.bin", wrap_payload(compress_frame(stream))).string(), (dir / "out").string()});
  EXPECT_NE(r.status, 0u);
  EXPECT_NE(r.err.find("record 1 (a.exe): stored checksum 352441c3, the contents give 352441c2"), std::string::npos)
      << r.err;
}

// A frame without its end whose last block runs to the payload's last byte:
// the decoder takes all the input at once and hands out the block over two
// steps. The launcher's reader runs the second only within the read whose
// step filled its buffer, so a record after that read is never reached; nor
// is it here.
TEST_F(Inspect, ExtractStopsWhereTheLauncherStopsInAFrameWithoutItsEnd) {
  // a.exe ends 4 bytes before the first 128 KiB, b's name at it.
  std::string stream = record_stream({{u"a.exe", std::string(131044, 'a')}, {u"b", "x"}});
  std::string payload = "QOB" + std::string("\x28\xb5\x2f\xfd\x00\x50", 6);
  auto raw_block = [&](size_t size) {
    uint32_t header = uint32_t(size) << 3;  // raw, not the last
    payload += {char(header), char(header >> 8), char(header >> 16)};
  };
  raw_block(100000);
  payload += stream.substr(0, 100000);
  // The rest of the stream, zeros and the trailer, all in the last block.
  size_t rest = stream.size() - 100000, total = payload.size() + 3 + rest + 8;
  total += (8 - total % 8) % 8;
  raw_block(total - payload.size() - 3);
  payload += stream.substr(100000);
  payload.resize(total - 8, '\0');
  for (int i = 0; i < 8; ++i) payload.push_back(char(uint64_t(total - 8) >> (8 * i)));
  RunResult r = pack({"extract", put("p.bin", payload).string(), (dir / "out").string()});
  EXPECT_NE(r.status, 0u);
  EXPECT_NE(r.err.find("the frame is cut short"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir / "out/b"));
}

TEST_F(Inspect, AnExecutableWithoutAPayloadIsNamedAsSuch) {
  RunResult r = pack({"list", MORDAX_STUB_PATH});
  EXPECT_NE(r.status, 0u);
  EXPECT_NE(r.err.find("an unfinished launcher stub: it carries no payload"), std::string::npos) << r.err;
  r = pack({"verify", MORDAX_PACK_PATH});
  EXPECT_NE(r.status, 0u);
  EXPECT_NE(r.err.find("a Linux executable that carries no payload"), std::string::npos) << r.err;
}

}  // namespace
