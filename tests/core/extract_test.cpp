#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <map>

#include "extract/checksum.h"
#include "extract/extract.h"
#include "launcher/launch.h"
#include "payload/payload.h"
#include "tests/support/fake_platform.h"
#include "tests/support/payload_builder.h"

namespace {

using fake::state;

// The record loop over the fake's payload, on one reader or the other: 0, or
// the status of the fatal stop.
int run_record_loop(bool two_cores) {
  payload_open(two_cores, false);
  int status = 0;
  try {
    extract_records();
  } catch (const FatalExit& e) {
    status = e.status;
  }
  payload_close();
  return status;
}

class Extraction : public ::testing::Test {
 protected:
  void SetUp() override { fake::reset_in_target(u"C:\\T"); }

  // Runs the record loop over a payload; returns the fatal status, or 0.
  int extract(const std::vector<RecordSpec>& records) {
    return extract_payload(make_payload(records));
  }
  int extract_payload(const std::string& payload) {
    state().payload = payload;
    state().calls.clear();
    return run_record_loop(false);
  }
  size_t count_calls(const std::string& prefix) {
    return size_t(std::count_if(state().calls.begin(), state().calls.end(),
                                [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }));
  }
};

TEST_F(Extraction, WritesEveryRecordBelowTheTargetAndNamesTheFirstAsTheChild) {
  EXPECT_EQ(extract({{u"app.exe", "MZ program"}, {u"lib\\data.bin", "data"}}), 0);
  EXPECT_EQ(state().files[u"C:\\T\\app.exe"], "MZ program");
  EXPECT_EQ(state().files[u"C:\\T\\lib\\data.bin"], "data");
  EXPECT_EQ(std::u16string(child_executable_path), u"C:\\T\\app.exe");
  EXPECT_TRUE(state().opened_as_program[u"C:\\T\\app.exe"]);
  EXPECT_FALSE(state().opened_as_program[u"C:\\T\\lib\\data.bin"]);
}

TEST_F(Extraction, AnEmptyStreamWritesNothingAndLeavesTheChildPathEmpty) {
  EXPECT_EQ(extract({}), 0);
  EXPECT_EQ(child_executable_path[0], 0);
  EXPECT_TRUE(state().calls.empty());
}

TEST_F(Extraction, ASecondStartOverUnchangedFilesOpensAndCreatesNothing) {
  std::vector<RecordSpec> records = {{u"app.exe", "MZ"}, {u"a\\b\\c.txt", noise(70000, 1)}};
  ASSERT_EQ(extract(records), 0);
  child_executable_path[0] = 0;
  ASSERT_EQ(extract(records), 0);
  EXPECT_EQ(count_calls("open"), 0u);
  EXPECT_EQ(count_calls("mkdir"), 0u);
  EXPECT_EQ(std::u16string(child_executable_path), u"C:\\T\\app.exe");
}

TEST_F(Extraction, AFileWithOtherContentsIsRewrittenInFull) {
  state().files[u"C:\\T\\app.exe"] = "an older and longer program";
  ASSERT_EQ(extract({{u"app.exe", "new"}}), 0);
  EXPECT_EQ(state().files[u"C:\\T\\app.exe"], "new");
}

TEST_F(Extraction, AnEmptyRecordIsWrittenAgainAtEveryStart) {
  ASSERT_EQ(extract({{u"app.exe", "x"}, {u"empty", ""}}), 0);
  EXPECT_EQ(state().files.count(u"C:\\T\\empty"), 1u);
  ASSERT_EQ(extract({{u"app.exe", "x"}, {u"empty", ""}}), 0);
  EXPECT_EQ(state().calls, (std::vector<std::string>{"open C:\\T\\empty", "close C:\\T\\empty"}));
}

TEST_F(Extraction, AnEmptyFileHeldOpenByAnotherProgramIsLeftAsItIs) {
  ASSERT_EQ(extract({{u"app.exe", "x"}, {u"empty", ""}}), 0);
  state().unwritable.insert(u"C:\\T\\empty");
  EXPECT_EQ(extract({{u"app.exe", "x"}, {u"empty", ""}, {u"after", "y"}}), 0);
  EXPECT_EQ(state().files[u"C:\\T\\after"], "y");
  // Not so when the file there has contents: those must go.
  state().files[u"C:\\T\\empty"] = "stale";
  EXPECT_EQ(extract({{u"app.exe", "x"}, {u"empty", ""}}), 2);
  EXPECT_EQ(state().err, "Error, failed to open 'C:\\T\\empty' for writing.\n");
}

TEST_F(Extraction, AnAbsentFileNeverMatchesEvenAStoredChecksumOfZero) {
  // "app.exe" and its terminator take 16 bytes, the size 8; the checksum follows.
  std::string stream = record_stream({{u"app.exe", "MZ"}});
  stream.replace(24, 4, std::string(4, '\0'));
  EXPECT_EQ(extract_payload(wrap_payload(compress_frame(stream))), 0);
  EXPECT_EQ(state().files[u"C:\\T\\app.exe"], "MZ");
}

TEST_F(Extraction, ContentsMoveIn32KiBChunks) {
  ASSERT_EQ(extract({{u"a", std::string(32768, 'a')}, {u"b", std::string(32769, 'b')}}), 0);
  EXPECT_EQ(state().calls, (std::vector<std::string>{"mkdir C:\\T", "open C:\\T\\a", "write 32768", "close C:\\T\\a",
                                                     "open C:\\T\\b", "write 32768", "write 1",
                                                     "close C:\\T\\b"}));
}

// The frame with the type of the first block that starts at `decoded` bytes or
// later set to the reserved one, so that decoding fails there.
std::string with_reserved_block(std::string frame, size_t decoded) {
  size_t at = 6;  // magic, descriptor and window byte: no content size, no dictionary
  for (size_t out = 0; at + 3 <= frame.size();) {
    uint32_t header = uint8_t(frame[at]) | uint32_t(uint8_t(frame[at + 1])) << 8 | uint32_t(uint8_t(frame[at + 2])) << 16;
    uint32_t type = (header >> 1) & 3, size = header >> 3;
    if (out >= decoded) {
      frame[at] = char(frame[at] | 6);
      return frame;
    }
    // Raw and run-length blocks give their size; a compressed one at most 128 KiB.
    out += type == 2 ? 131072 : size;
    at += 3 + (type == 1 ? 1 : size);
  }
  ADD_FAILURE() << "no block that far in";
  return frame;
}

// The reader on two cores hands bytes out in place and runs ahead of the
// writes; the files must not tell, not even those a failure leaves half done.
TEST_F(Extraction, TwoCoresWriteWhatOneThreadWritesAlsoUpToAFailure) {
  std::string stream = record_stream({{u"app.exe", noise(100, 1)},
                                      {u"big", noise((5u << 20) + 123, 2)},
                                      {u"d\\odd", noise(3 * 32768 + 1, 3)},
                                      {u"empty", ""},
                                      {u"tail", noise(2u << 20, 4)}});
  std::string frame = compress_frame(stream);
  // A window of 128 KiB: the decoding thread wraps round its buffer many times.
  std::string small_window = compress_frame(stream, 17);
  const std::pair<std::string, std::string> frames[] = {
      {"whole", frame},
      {"cut at a third", frame.substr(0, frame.size() / 3)},
      {"cut at two thirds", frame.substr(0, frame.size() * 2 / 3)},
      // A step that fails loses what it decoded: the readers must stop at the same byte.
      {"a reserved block 4.4 MiB in", with_reserved_block(frame, (4u << 20) + 400000)},
      {"whole, small window", small_window},
      {"cut at two thirds, small window", small_window.substr(0, small_window.size() * 2 / 3)},
      {"a reserved block 4.4 MiB in, small window", with_reserved_block(small_window, (4u << 20) + 400000)},
      // The decoding thread's buffer holds the content exactly, never wrapping.
      {"whole, content size", compress_frame(stream, 27, true)},
  };
  for (const auto& [what, damaged] : frames) {
    struct Outcome {
      int status;
      std::string out, err;
      std::map<std::u16string, std::string> files;
      std::vector<std::string> calls;
    } outcome[2];
    for (bool two_cores : {false, true}) {
      fake::reset_in_target(u"C:\\T");
      state().payload = wrap_payload(damaged);
      int status = run_record_loop(two_cores);
      outcome[two_cores] = {status, state().out, state().err, state().files, state().calls};
    }
    EXPECT_EQ(outcome[1].status, outcome[0].status) << what;
    EXPECT_EQ(outcome[1].out, outcome[0].out) << what;
    EXPECT_EQ(outcome[1].err, outcome[0].err) << what;
    EXPECT_TRUE(outcome[1].files == outcome[0].files) << what;
    EXPECT_EQ(outcome[0].status, what.rfind("whole", 0) == 0 ? 0 : 2);
    // Straight from the ring, whole chunks go out many at a time.
    EXPECT_TRUE(std::any_of(outcome[1].calls.begin(), outcome[1].calls.end(), [](const std::string& c) {
      return c.rfind("write ", 0) == 0 && std::stoul(c.substr(6)) > 32768;
    }));
  }
}

// A frame that never ends, the payload's last bytes: the design's loop reads
// at most 32 KiB at a time, so past the input's end it gets no further than
// the end of the step that took the input's last byte, though the decoder
// holds the rest of the stream, end marker and all. Neither do both readers,
// whether the contents there are written or kept.
TEST_F(Extraction, PastTheInputsEndTheLoopStopsWhereTheStepThatTookItsLastByteEnds) {
  // The record of app.exe takes 30 bytes, big's header 20: big's contents end
  // 48 bytes past the second step's end (262144), in a block that starts
  // 200000 bytes in, within that step.
  const std::string big = noise(262144 + 48 - 50, 6);
  const std::string payload = "QOB" + stored_frame(record_stream({{u"app.exe", "MZ"}, {u"big", big}}));
  for (bool kept : {false, true}) {
    for (bool two_cores : {false, true}) {
      fake::reset_in_target(u"C:\\T");
      if (kept) state().files = {{u"C:\\T\\app.exe", "MZ"}, {u"C:\\T\\big", big}};
      state().payload = payload;
      int status = run_record_loop(two_cores);
      const std::string how = std::string(kept ? "kept" : "written") + (two_cores ? ", two cores" : ", one thread");
      EXPECT_EQ(status, 2) << how;
      EXPECT_EQ(state().out, "Error, couldn't decode attached data.\n") << how;
      // Written: the whole chunks before the one that crosses 262144.
      EXPECT_TRUE(state().files[u"C:\\T\\big"] == (kept ? big : big.substr(0, 7 * 32768))) << how;
    }
  }
}

TEST_F(Extraction, ALaterRecordWithTheSameNameWinsInStreamOrder) {
  ASSERT_EQ(extract({{u"app.exe", "x"}, {u"f", "first"}, {u"f", "second"}}), 0);
  EXPECT_EQ(state().files[u"C:\\T\\f"], "second");
}

TEST_F(Extraction, DirectoriesAreMadeOnlyForFilesThatAreWritten) {
  ASSERT_EQ(extract({{u"app.exe", "x"}, {u"d\\e\\f.txt", "f"}}), 0);
  // C:\T confirmed once; C:\T\d\e fails, C:\T\d is made, C:\T\d\e again.
  EXPECT_EQ(count_calls("mkdir"), 4u);
  EXPECT_TRUE(state().directories.count(u"C:\\T\\d\\e"));
}

TEST_F(Extraction, AFileThatCannotBeOpenedStopsWithItsPath) {
  state().unwritable.insert(u"C:\\T\\locked.dll");
  EXPECT_EQ(extract({{u"app.exe", "x"}, {u"locked.dll", "y"}, {u"after", "z"}}), 2);
  EXPECT_EQ(state().err, "Error, failed to open 'C:\\T\\locked.dll' for writing.\n");
  EXPECT_EQ(state().out, "");
  EXPECT_EQ(state().files[u"C:\\T\\app.exe"], "x");  // written before the failure, kept
  EXPECT_EQ(state().files.count(u"C:\\T\\after"), 0u);
}

TEST_F(Extraction, AFailedWriteStopsWithTheSystemError) {
  state().write_budget = 40000;
  state().error_texts[112] = "There is not enough space on the disk.\r\n";
  EXPECT_EQ(extract({{u"app.exe", "x"}, {u"big", std::string(100000, 'b')}}), 2);
  EXPECT_EQ(state().err,
            "Error, couldn't unpack file to target path. ([Error 112] There is not enough space on the disk.)\n");
  EXPECT_EQ(state().files[u"C:\\T\\big"].size(), 39999u);  // the partial file stays, its last write in part
}

TEST_F(Extraction, NameAndPathLimitsAreEnforcedWithoutOverflow) {
  // target "C:\T" (4 units) + separator + name: a name of 4090 units makes 4095.
  wide_copy(target_directory, kPathCapacity, u"C:\\T");
  std::u16string longest_name(1023, u'n');
  EXPECT_EQ(extract({{longest_name, "ok"}}), 0);
  EXPECT_EQ(state().files[u"C:\\T\\" + longest_name], "ok");

  EXPECT_EQ(extract({{std::u16string(1024, u'n'), "too long"}}), 2);
  EXPECT_EQ(state().out, "Error, record path too long for the target directory.\n");

  std::u16string deep_target = u"C:\\" + std::u16string(4095 - 3 - 1 - 10, u't');
  wide_copy(target_directory, kPathCapacity, deep_target.c_str());
  state().directories.insert(deep_target);
  state().out.clear();
  EXPECT_EQ(extract({{std::u16string(10, u'f'), "fits"}}), 0);  // exactly 4095 units
  EXPECT_EQ(extract({{std::u16string(11, u'f'), "does not"}}), 2);
  EXPECT_EQ(state().out, "Error, record path too long for the target directory.\n");
}

TEST_F(Extraction, NamesThatWouldLeaveTheTargetAreRefused) {
  for (const char16_t* bad : {u"..\\x", u"a\\..\\..\\x", u"a/../../x", u"...", u".. ", u". .\\x", u"a\\.."}) {
    SetUp();
    EXPECT_EQ(extract({{u"app.exe", "x"}, {bad, "evil"}}), 2) << fake::narrow(bad);
    EXPECT_EQ(state().out, "Error, unsafe file name in attached data.\n");
    EXPECT_EQ(state().files.size(), 1u);  // only the record before it
  }
  // Odd, but inside the target: composed below it, they name places below it.
  for (const char16_t* good : {u"..a", u"a..", u".hidden", u"a\\.b\\c..", u"a b", u".\\x", u" "}) {
    SetUp();
    EXPECT_EQ(extract({{u"app.exe", "x"}, {good, "fine"}}), 0) << fake::narrow(good);
  }
}

TEST(Checksum, FollowsTheRecordConventions) {
  fake::reset();
  EXPECT_EQ(checksum_update(0, "123456789", 9), 0xCBF43926u);
  EXPECT_EQ(record_checksum("", 0), 1u);  // CRC 0 is stored as 1
  // Empty files, directories and absent files are the platform's to refuse
  // (its own tests run against the real system).
  state().files[u"C:\\check"] = "123456789";
  EXPECT_EQ(file_checksum(u"C:\\check"), 0xCBF43926u);
  // Four bytes whose CRC-32 is 0 (the CRC of x followed by its own CRC, inverted).
  std::string zero_crc = "\x9d\x0a\xd9\x6d";
  EXPECT_EQ(checksum_update(0, zero_crc.data(), 4), 0u);
  state().files[u"C:\\zero"] = zero_crc;
  EXPECT_EQ(file_checksum(u"C:\\zero"), 1u);
}

TEST(Checksum, ContinuesAcrossPiecesLikeOneCall) {
  std::string data = noise(3000000, 9);
  uint32_t whole = checksum_update(0, data.data(), data.size());
  uint32_t pieces = checksum_update(checksum_update(0, data.data(), 1234567), data.data() + 1234567,
                                    data.size() - 1234567);
  EXPECT_EQ(whole, pieces);
}

// The launcher's CRC-32 is zlib's, whatever the length and alignment (the fast
// paths work on 16, 32 and 64-byte blocks, with heads and tails around them).
TEST(Checksum, MatchesZlibOnManyLengthsAndAlignments) {
  std::string data = noise(1 << 20, 4);
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  for (size_t offset : {0u, 1u, 3u, 7u, 15u, 33u}) {
    for (size_t length = 0; length < 1100; length += (length < 300 ? 1 : 37)) {
      uint32_t expected = uint32_t(crc32(0, bytes + offset, uInt(length)));
      ASSERT_EQ(checksum_update(0, bytes + offset, length), expected) << offset << "+" << length;
    }
    for (size_t length : {4095u, 4096u, 65537u, 1000000u}) {
      uLong running = crc32(12345, bytes + offset, uInt(length));
      ASSERT_EQ(checksum_update(12345, bytes + offset, length), uint32_t(running)) << offset << "+" << length;
    }
  }
}

}  // namespace
