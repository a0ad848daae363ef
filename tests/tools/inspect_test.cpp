// mordax-pack list, verify and extract on payloads made to order and on Linux
// launchers finished from the stub. (Launchers built by CMake, Windows
// launchers and the failure table: tests/e2e/inspect_test.sh.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zstd.h>

#include <string>
#include <vector>

#include "payload/attached.h"
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
  EXPECT_EQ(r.out, "payload\n           3  352441c2  a.exe\n           0  00000001  d/e.txt\n");

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

TEST_F(Inspect, VerifyChecksTheIndexALauncherCarries) {
  write_file(dir / "app/run", "#!/bin/sh\n");
  write_file(dir / "app/x.txt", "x");
  std::string out = read_file(launcher());
  uint64_t offset = le64(out, out.size() - 24), size = le64(out, out.size() - 16);
  AttachedBlock block;
  ASSERT_TRUE(parse_attached_block(reinterpret_cast<const unsigned char*>(out.data() + offset), size, &block));
  ASSERT_NE(block.index, nullptr);
  // The last byte of the index: the high byte of the last record's checksum.
  out[size_t(block.index - reinterpret_cast<const unsigned char*>(out.data())) + block.index_size - 1] ^= 1;
  RunResult r = pack({"verify", put("changed", out).string()});
  EXPECT_NE(r.status, 0u);
  EXPECT_NE(r.err.find("the index does not list the payload's records"), std::string::npos) << r.err;
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

TEST_F(Inspect, AnExecutableWithoutAPayloadIsNamedAsSuch) {
  RunResult r = pack({"list", MORDAX_STUB_PATH});
  EXPECT_NE(r.status, 0u);
  EXPECT_NE(r.err.find("an unfinished launcher stub: it carries no payload"), std::string::npos) << r.err;
  r = pack({"verify", MORDAX_PACK_PATH});
  EXPECT_NE(r.status, 0u);
  EXPECT_NE(r.err.find("a Linux executable that carries no payload"), std::string::npos) << r.err;
}

}  // namespace
