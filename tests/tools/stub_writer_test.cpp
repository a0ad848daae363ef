// The writer finishing the Linux stub: what it writes, what it refuses, and
// where it finds the stub. (The Windows stub is finished and run by the Windows
// suite.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "payload/attached.h"
#include "payload/index.h"
#include "tests/tools/writer_support.h"

namespace {

using namespace writer_test;

class Stub : public ScratchTest {
 protected:
  Stub() : ScratchTest("mordax-stub-writer-") {}
  void SetUp() override {
    ScratchTest::SetUp();
    write_file(dir / "app/run", "#!/bin/sh\nexit 0\n");
    write_file(dir / "app/lib/data.txt", "data\n");
  }
  std::vector<std::string> app_args(const std::string& out) {
    return {(dir / "app").string(), "--entry", "run", "--level", "3", "-o", (dir / out).string()};
  }
  std::vector<std::string> finish_args(const std::string& out, const std::string& stub = MORDAX_STUB_PATH) {
    std::vector<std::string> a = app_args(out);
    for (const char* extra : {"--stub", "linux-x64", "--stub-file"}) a.push_back(extra);
    a.push_back(stub);
    return a;
  }
  void expect_refused(const std::vector<std::string>& args, const std::string& out, const std::string& why) {
    ScratchTest::expect_refused(pack(args), why, dir / out);
  }
};

TEST_F(Stub, TheFinishedLauncherIsTheStubThenTheBlockThenTheFooter) {
  std::vector<std::string> args = finish_args("launcher");
  for (const char* extra : {"--target-spec", "{TEMP}/x-{VERSION}", "--company", "\xc3\x96rnek", "--version", "4.5"})
    args.push_back(extra);
  RunResult r = pack(args);
  ASSERT_EQ(r.status, 0u) << r.err;
  std::vector<std::string> bare = app_args("bare.bin");
  bare.insert(bare.end(), {"--index", (dir / "bare.index").string()});
  ASSERT_EQ(pack(bare).status, 0u);

  std::string stub = read_file(MORDAX_STUB_PATH), out = read_file(dir / "launcher");
  ASSERT_GT(out.size(), stub.size() + kAttachedFooterSize);
  EXPECT_EQ(out.compare(0, stub.size(), stub), 0) << "the stub's bytes come first, unchanged";
  EXPECT_EQ(out.substr(out.size() - 8), std::string("MDXFOOTR"));
  uint64_t offset = le64(out, out.size() - 24), size = le64(out, out.size() - 16);
  EXPECT_EQ(offset % kAttachedFileAlignment, 0u);
  EXPECT_GE(offset, stub.size());
  ASSERT_EQ(offset + size, out.size() - kAttachedFooterSize);

  AttachedBlock block;
  ASSERT_TRUE(parse_attached_block(reinterpret_cast<const unsigned char*>(out.data() + offset), size, &block));
  EXPECT_EQ(std::u16string(block.strings[0]), u"{TEMP}/x-{VERSION}");
  EXPECT_EQ(std::u16string(block.strings[1]), u"\u00d6rnek");
  EXPECT_EQ(std::u16string(block.strings[2]), u"Tarvell Pro") << "a string not given keeps its default";
  EXPECT_EQ(std::u16string(block.strings[3]), u"4.5");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.payload), size_t(block.payload_size)),
            read_file(dir / "bare.bin"))
      << "the payload is the one the writer writes bare";
  ASSERT_NE(block.index, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.index), size_t(block.index_size)),
            read_file(dir / "bare.index"))
      << "the index too";
  IndexReader reader;
  ASSERT_TRUE(parse_index(block.index, block.index_size, 1023, &reader));
  const std::atomic<bool> go_on{false};
  EXPECT_TRUE(index_binds_payload(block.index, block.payload, block.payload_size, go_on));
  std::vector<std::string> names;
  for (IndexEntry e; reader.next(&e);) {
    std::string name;
    for (size_t i = 0; i < e.units; ++i) name += char(e.name[2 * i]);
    names.push_back(name + " " + std::to_string(e.size));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"run 17", "lib\\data.txt 5"}));
  EXPECT_NE(fs::status(dir / "launcher").permissions() & fs::perms::owner_exec, fs::perms::none) << "executable";
}

// The opt-in reaches the launcher through the block's layout, also where the
// writer has no index to give (a payload attached as it is).
TEST_F(Stub, AnAttachedPayloadCarriesTheOptInOnlyWhenAsked) {
  ASSERT_EQ(pack(app_args("bare.bin")).status, 0u);
  for (bool opted_in : {false, true}) {
    std::vector<std::string> args = {"--attach", (dir / "bare.bin").string(), "-o", (dir / "launcher").string(),
                                     "--stub", "linux-x64", "--stub-file", MORDAX_STUB_PATH};
    if (opted_in) args.push_back("--fast-start");
    RunResult r = pack(args);
    ASSERT_EQ(r.status, 0u) << r.err;
    std::string out = read_file(dir / "launcher");
    uint64_t offset = le64(out, out.size() - 24), size = le64(out, out.size() - 16);
    AttachedBlock block;
    ASSERT_TRUE(parse_attached_block(reinterpret_cast<const unsigned char*>(out.data() + offset), size, &block));
    EXPECT_EQ(block.fast_start, opted_in);
    EXPECT_EQ(block.index_size, 0u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.payload), size_t(block.payload_size)),
              read_file(dir / "bare.bin"));
  }
}

TEST_F(Stub, TheSameInputsGiveTheSameBytes) {
  std::vector<std::string> one = finish_args("one"), two = finish_args("two");
  two.insert(two.end(), {"--threads", "1"});
  ASSERT_EQ(pack(one).status, 0u);
  ASSERT_EQ(pack(two).status, 0u);
  EXPECT_TRUE(read_file(dir / "one") == read_file(dir / "two"));
}

TEST_F(Stub, WhatIsNotAnUnfinishedStubForTheTargetIsRefused) {
  std::vector<std::string> wrong_target = finish_args("out");
  wrong_target[wrong_target.size() - 3] = "windows-x64";
  expect_refused(wrong_target, "out", "is a stub for linux-x64, not for windows-x64");

  expect_refused(finish_args("out", "/bin/sh"), "out", "/bin/sh: is not a launcher stub");

  ASSERT_EQ(pack(finish_args("finished")).status, 0u);
  expect_refused(finish_args("out", (dir / "finished").string()), "out", "already carries a payload");

  fs::copy_file(MORDAX_STUB_PATH, dir / "stub");
  std::vector<std::string> onto_itself = finish_args("./stub", (dir / "stub").string());
  expect_refused(onto_itself, "./stub", "the output would replace the stub");
  EXPECT_TRUE(read_file(dir / "stub") == read_file(MORDAX_STUB_PATH)) << "the stub is left as it was";

  expect_refused({(dir / "app").string(), "--entry", "run", "-o", (dir / "out").string(), "--company", "X"}, "out",
                 "need --stub");
  expect_refused({"--attach", (dir / "app/run").string(), "-o", (dir / "out").string()}, "out", "need --stub");
}

TEST_F(Stub, NoTargetSpecThatLeadsOutOfTheApplicationsOwnFolderIsTaken) {
  auto with_spec = [&](const std::string& spec) {
    std::vector<std::string> a = finish_args("out");
    a.insert(a.end(), {"--target-spec", spec});
    return a;
  };
  for (const char* root : {"/", "//"})
    expect_refused(with_spec(root), "out", std::string("--target-spec '") + root + "' is a root folder");
  expect_refused(with_spec(""), "out", "mordax-pack: --target-spec is empty; name the folder to unpack into");
  // A launcher made with ".." wrote into the parent of whatever folder it was started from.
  for (const char* relative : {".", "..", "rel/app", "{PRODUCT}/x"})
    expect_refused(with_spec(relative), "out", std::string("--target-spec '") + relative + "' is relative");
  expect_refused(with_spec(".."), "out",
                 "mordax-pack: --target-spec '..' is relative, so it would unpack below the folder the launcher is "
                 "started from; begin it with /, {CACHE_DIR}, {HOME}, {TEMP}, {PROGRAM_DIR}, {PROGRAM_BASE} or "
                 "{PROGRAM}");
  // The Windows template copied for a Linux launcher would make a folder named
  // "cache\myapp-1.0" beside the cache folder.
  expect_refused(with_spec("{CACHE_DIR}\\myapp-1.0"), "out",
                 "--target-spec '{CACHE_DIR}\\myapp-1.0' holds a backslash; Linux separates folders with /");

  RunResult named = pack(with_spec("{CACHE_DIR}/myapp-1.0"));
  EXPECT_EQ(named.status, 0u) << named.err;
  EXPECT_EQ(named.err, "");
  // Left at its default, the shared folder is named once the launcher is made.
  RunResult left = pack(finish_args("default"));
  EXPECT_EQ(left.status, 0u) << left.err;
  EXPECT_EQ(left.err,
            "mordax-pack: no --target-spec, so the launcher unpacks into '{CACHE_DIR}/tarvell-2.3.8', which every "
            "launcher without one shares; name another with --target-spec\n");
}

TEST_F(Stub, TheStubIsFoundBesideTheWriter) {
  fs::create_directories(dir / "bin");
  fs::copy_file(MORDAX_PACK_PATH, dir / "bin/mordax-pack");
  std::string writer = (dir / "bin/mordax-pack").string();
  std::vector<std::string> args = app_args("launcher");
  args.insert(args.end(), {"--stub", "linux-x64"});
  RunResult missing = pack(args, writer);
  EXPECT_NE(missing.status, 0u);
  EXPECT_NE(missing.err.find("--stub-file"), std::string::npos) << missing.err;

  fs::copy_file(MORDAX_STUB_PATH, dir / "bin/mordax-stub-linux-x64");
  RunResult found = pack(args, writer);
  EXPECT_EQ(found.status, 0u) << found.err;
  EXPECT_EQ(read_file(dir / "launcher").compare(0, fs::file_size(MORDAX_STUB_PATH), read_file(MORDAX_STUB_PATH)), 0);
}

}  // namespace
