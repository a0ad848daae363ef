// The payload writer, run as its users run it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <string>
#include <vector>

#include "tests/tools/writer_support.h"

namespace {

using namespace writer_test;

// Record names of a decoded stream, in order (ASCII names only).
std::vector<std::string> names_of(const std::string& stream) {
  std::vector<std::string> names;
  for (size_t at = 0;;) {
    std::string name;
    for (; stream[at] != 0 || stream[at + 1] != 0; at += 2) name += stream[at];
    at += 2;
    if (name.empty()) return names;
    names.push_back(name);
    at += 12 + le64(stream, at);
  }
}

class Writer : public ScratchTest {
 protected:
  Writer() : ScratchTest("mordax-writer-") {}
  RunResult pack_app(const std::string& entry, const std::string& out, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {(dir / "app").string(), "--entry", entry, "-o", (dir / out).string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return pack(args);
  }
  // A refusal: non-zero status, one line naming `what`, and no output left.
  void expect_refused(const std::string& entry, const std::string& what) {
    ScratchTest::expect_refused(pack_app(entry, "out.bin"), what, dir / "out.bin");
    EXPECT_FALSE(fs::exists(dir / "out.bin"));
  }
};

TEST_F(Writer, TheWorkedExampleGivesTheDocumentedStreamBytes) {
  write_file(dir / "app/a.exe", "abc");
  ASSERT_EQ(pack_app("a.exe", "stream.bin", {"--records-only"}).status, 0u);
  // name a.exe, size 3, CRC-32 0x352441C2, contents, end marker
  const std::string expected("a\0.\0e\0x\0e\0\0\0" "\3\0\0\0\0\0\0\0" "\xC2\x41\x24\x35" "abc" "\0\0", 29);
  EXPECT_EQ(read_file(dir / "stream.bin"), expected);
}

TEST_F(Writer, ThePayloadIsMagicFramePaddingAndTrailer) {
  write_file(dir / "app/run", "#!/bin/sh\n");
  write_file(dir / "app/lib/data", std::string(300000, 'd'));
  ASSERT_EQ(pack_app("run", "payload.bin").status, 0u);
  ASSERT_EQ(pack_app("run", "stream.bin", {"--records-only"}).status, 0u);
  std::string p = read_file(dir / "payload.bin");
  ASSERT_GT(p.size(), 20u);
  EXPECT_EQ(p.substr(0, 3), "QOB");
  EXPECT_EQ(p.substr(3, 4), std::string("\x28\xB5\x2F\xFD", 4));
  // Frame header descriptor: no content size, not single-segment, no checksum,
  // no dictionary id; window descriptor: exponent 17, mantissa 0, i.e. 2^27.
  EXPECT_EQ(static_cast<unsigned char>(p[7]), 0x00);
  EXPECT_EQ(static_cast<unsigned char>(p[8]), 17u << 3);
  size_t frame = ZSTD_findFrameCompressedSize(p.data() + 3, p.size() - 3);
  ASSERT_FALSE(ZSTD_isError(frame));
  uint64_t trailer = p.size() - 8;
  EXPECT_EQ(trailer % 8, 0u);
  EXPECT_EQ(le64(p, trailer), trailer);
  EXPECT_LT(trailer - (3 + frame), 8u);
  EXPECT_EQ(p.substr(3 + frame, trailer - 3 - frame), std::string(trailer - 3 - frame, '\0'));
  // The frame decodes to exactly the record stream.
  std::string decoded(2000000, '\0');
  ZSTD_DCtx* d = ZSTD_createDCtx();
  ZSTD_inBuffer in = {p.data() + 3, frame, 0};
  ZSTD_outBuffer out = {decoded.data(), decoded.size(), 0};
  size_t left = ZSTD_decompressStream(d, &out, &in);
  ZSTD_freeDCtx(d);
  EXPECT_EQ(left, 0u);
  decoded.resize(out.pos);
  EXPECT_EQ(decoded, read_file(dir / "stream.bin"));
}

TEST_F(Writer, TheEntryComesFirstAndTheRestInByteOrder) {
  // Ordered by the UTF-16 names, with '\\' for '/', a/b.txt would follow aZ.txt.
  for (const char* name : {"b.txt", "a/z.txt", "a/b.txt", "Z.txt", "main", "a.txt", "aZ.txt", "a0.txt"})
    write_file(dir / "app" / name, name);
  ASSERT_EQ(pack_app("main", "stream.bin", {"--records-only"}).status, 0u);
  EXPECT_EQ(names_of(read_file(dir / "stream.bin")),
            (std::vector<std::string>{"main", "Z.txt", "a.txt", "a\\b.txt", "a\\z.txt", "a0.txt", "aZ.txt", "b.txt"}));

  // U+FF01 comes before U+1F600 in UTF-8, after it in UTF-16 (a surrogate pair).
  fs::remove_all(dir / "app");
  write_file(dir / "app/main", "main");
  write_file(dir / "app/\xF0\x9F\x98\x80", "emoji");
  write_file(dir / "app/\xEF\xBC\x81", "fullwidth");
  ASSERT_EQ(pack_app("main", "wide.bin", {"--records-only"}).status, 0u);
  std::string stream = read_file(dir / "wide.bin");
  size_t fullwidth = stream.find(std::string("\x01\xFF\0\0", 4));
  size_t emoji = stream.find(std::string("\x3D\xD8\x00\xDE\0\0", 6));
  ASSERT_NE(fullwidth, std::string::npos);
  ASSERT_NE(emoji, std::string::npos);
  EXPECT_LT(fullwidth, emoji);
}

TEST_F(Writer, TheSameInputGivesTheSameBytesWhateverTheThreadCount) {
  write_file(dir / "app/main", "main");
  for (int i = 0; i < 20; ++i) write_file(dir / "app" / ("f" + std::to_string(i)), std::string(50000 + i, char('a' + i)));
  ASSERT_EQ(pack_app("main", "one.bin", {"--threads", "1"}).status, 0u);
  ASSERT_EQ(pack_app("main", "two.bin", {"--threads", "2"}).status, 0u);
  ASSERT_EQ(pack_app("main", "again.bin", {"--threads", "1"}).status, 0u);
  EXPECT_EQ(read_file(dir / "one.bin"), read_file(dir / "two.bin"));
  EXPECT_EQ(read_file(dir / "one.bin"), read_file(dir / "again.bin"));
}

TEST_F(Writer, AnOutputInsideTheTreeIsNotPacked) {
  write_file(dir / "app/main", "main");
  RunResult r = pack({(dir / "app").string(), "--entry", "main", "--records-only", "-o", (dir / "app/stream").string()});
  ASSERT_EQ(r.status, 0u) << r.err;
  EXPECT_EQ(names_of(read_file(dir / "app/stream")), std::vector<std::string>{"main"});
}

TEST_F(Writer, ALinkToAFileIsStoredAsItsContents) {
  write_file(dir / "app/main", "main");
  write_file(dir / "outside", "linked contents");
  fs::create_symlink(dir / "outside", dir / "app/link");
  ASSERT_EQ(pack_app("main", "stream.bin", {"--records-only"}).status, 0u);
  std::string stream = read_file(dir / "stream.bin");
  EXPECT_EQ(names_of(stream), (std::vector<std::string>{"main", "link"}));
  EXPECT_NE(stream.find("linked contents"), std::string::npos);
}

TEST_F(Writer, WhatTheLauncherReliesOnIsRefused) {
  write_file(dir / "app/main", "main");
  expect_refused("missing", "missing");
  fs::create_directories(dir / "app/sub");
  expect_refused("sub", "not a regular file");
  expect_refused("/etc/passwd", "absolute name");
  expect_refused("sub/../main", "'.' or '..' component");
  expect_refused("./main", "'.' or '..' component");

  mkfifo((dir / "app/fifo").c_str(), 0600);
  expect_refused("main", "fifo: not a regular file");
  fs::remove(dir / "app/fifo");

  write_file(dir / "app/back\\slash", "x");
  expect_refused("main", "backslash in a name");
  fs::remove(dir / "app/back\\slash");

  write_file(dir / "app/bad\xff", "x");
  expect_refused("main", "not valid UTF-8");
  fs::remove(dir / "app/bad\xff");

  fs::path deep = dir / "app";
  for (int i = 0; i < 5; ++i) deep /= std::string(210, char('a' + i));
  write_file(deep / "f", "x");
  expect_refused("main", "longer than 1023");
}

// The CMake function packs a Windows launcher's payload with --for windows-x64:
// what Windows would fold into one file, or hand to cmd.exe, is refused there.
TEST_F(Writer, APayloadForWindowsKeepsTheWindowsRules) {
  write_file(dir / "app/run.Cmd", "@echo off");
  write_file(dir / "app/main.exe", "MZ");
  write_file(dir / "app/data/LICENSE", "");
  write_file(dir / "app/data/license", "the text");
  for (const char* target : {"linux-x64", ""}) {
    std::vector<std::string> extra = {"--level", "1"};
    if (*target != 0) extra.insert(extra.end(), {"--for", target});
    RunResult r = pack_app("run.Cmd", "out.bin", extra);
    EXPECT_EQ(r.status, 0u) << target << r.err;
  }
  ScratchTest::expect_refused(pack_app("run.Cmd", "win.bin", {"--for", "windows-x64"}),
                              "mordax-pack: run.Cmd: a batch file, which a Windows launcher cannot start; make the "
                              "entry an executable\n", dir / "win.bin");
  ScratchTest::expect_refused(pack_app("main.exe", "win.bin", {"--for", "windows-x64"}),
                              "data/license: the same name as data/LICENSE to Windows, which ignores case",
                              dir / "win.bin");
  EXPECT_FALSE(fs::exists(dir / "win.bin"));
  RunResult both = pack_app("main.exe", "win.bin", {"--for", "windows-x64", "--stub", "linux-x64"});
  EXPECT_EQ(both.err, "mordax-pack: --stub and --for name different targets\n");
}

TEST_F(Writer, BadOptionsAreRefusedWithUsage) {
  // A tree that packs, so that only the option under test can be refused.
  write_file(dir / "app/main", "x");
  ASSERT_EQ(pack_app("main", "good.bin", {"--level", "3"}).status, 0u);
  auto refused = [&](const std::vector<std::string>& extra) {
    RunResult r = pack_app("main", "out.bin", extra);
    EXPECT_EQ(r.status, 1u) << r.err;
    EXPECT_FALSE(fs::exists(dir / "out.bin"));
    return r.err;
  };
  const std::string level_range = "mordax-pack: --level must be a whole number from 1 to 22\n";
  EXPECT_EQ(refused({"--level", "99"}), level_range);
  EXPECT_EQ(refused({"--level", "0"}), level_range);
  EXPECT_EQ(refused({"--level", "3x"}), level_range);
  const std::string usage = "mordax-pack: usage: mordax-pack APP_DIR --entry REL_PATH -o OUTPUT";
  EXPECT_EQ(refused({"--bogus"}).rfind(usage, 0), 0u);
  RunResult none = pack({});
  EXPECT_EQ(none.status, 1u);
  EXPECT_EQ(none.err.rfind(usage, 0), 0u) << none.err;
}

// Alone, --version names the writer's release (among other options it is the
// launcher's version string, as the stub writer's tests show).
TEST_F(Writer, VersionAloneIsTheWritersOwn) {
  RunResult alone = pack({"--version"});
  EXPECT_EQ(alone.status, 0u) << alone.err;
  EXPECT_EQ(alone.out, "mordax-pack " MORDAX_VERSION "\n");
  EXPECT_EQ(alone.err, "");
}

// A folder copied from an installed application may hold a development link
// whose library was not copied: it is named for what it is, or left out.
TEST_F(Writer, ALinkToAMissingFileIsNamedOrLeftOut) {
  write_file(dir / "app/main", "main");
  write_file(dir / "app/lib/libfoo.so.1.2", "library");
  fs::create_symlink("libfoo.so.1", dir / "app/lib/libfoo.so");
  expect_refused("main", "mordax-pack: lib/libfoo.so is a symbolic link to a missing file\n");

  RunResult r = pack_app("main", "stream.bin", {"--records-only", "--skip-broken-links"});
  ASSERT_EQ(r.status, 0u) << r.err;
  EXPECT_EQ(r.err, "mordax-pack: warning: lib/libfoo.so is a symbolic link to a missing file; left out\n");
  EXPECT_EQ(names_of(read_file(dir / "stream.bin")), (std::vector<std::string>{"main", "lib\\libfoo.so.1.2"}));

  // The entry itself is never left out.
  fs::create_symlink("gone", dir / "app/start");
  RunResult entry = pack_app("start", "out.bin", {"--skip-broken-links"});
  EXPECT_EQ(entry.status, 1u);
  EXPECT_EQ(entry.err, "mordax-pack: start is a symbolic link to a missing file\n");
}

}  // namespace
