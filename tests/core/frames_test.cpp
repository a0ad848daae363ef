// A payload of frames listed by its index, unpacked on every core: the files
// the record loop leaves, with only the frames of files not in place decoded;
// anything it cannot vouch for goes back to the record loop.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "extract/extract.h"
#include "extract/frames.h"
#include "payload/payload.h"
#include "tests/support/fake_platform.h"
#include "tests/support/payload_builder.h"

namespace {

using fake::state;

// Stream offsets: app.exe's name and its zero unit end at 16, its size field
// at 24, its checksum at 28, its contents ("MZ program") at 38; big.bin's
// contents begin at 38 + 24 + 12 = 74.
const std::vector<RecordSpec> kRecords = {{u"app.exe", "MZ program"},
                                          {u"lib\\big.bin", noise(300000, 7)},
                                          {u"lib\\empty.log", ""},
                                          {u"data\\d.txt", "last record"}};
// Cuts inside a name, a size field, a checksum field and contents, and two
// inside the big file.
const std::vector<uint64_t> kCuts = {5, 20, 26, 33, 100000, 200000};
// The frames that hold contents: [26, 33) onwards.
constexpr size_t kFramesWithContents = 4;

// Where frame `i` begins in the payload, as the index lists it.
uint64_t frame_start(const std::string& index, uint32_t i) {
  size_t frames = kCuts.size() + 1;
  size_t at = index.size() - 16 * (frames + 1) + 16 * i;
  uint64_t value = 0;
  for (int b = 0; b < 8; ++b) value |= uint64_t(uint8_t(index[at + b])) << (8 * b);
  return value;
}

class Frames : public ::testing::Test {
 protected:
  void SetUp() override {
    framed = make_framed_payload(kRecords, kCuts);
    start_fresh();
  }
  void start_fresh() {
    fake::reset_in_target(u"C:\\T");
    state().payload = framed.payload;
    state().index = framed.index;
  }
  // What the record loop leaves from the same payload and files.
  std::map<std::u16string, std::string> loop_files(std::map<std::u16string, std::string> before) {
    std::string payload = state().payload;
    fake::reset_in_target(u"C:\\T");
    state().payload = payload;
    state().files = before;
    payload_open(false, false);
    extract_records();
    payload_close();
    return state().files;
  }
  size_t calls_starting(const std::string& prefix) {
    return size_t(std::count_if(state().calls.begin(), state().calls.end(),
                                [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }));
  }
  // The frames decoded, by their first payload byte.
  std::vector<uint64_t> frames_decoded() {
    std::vector<uint64_t> starts;
    for (const auto& [offset, size] : state().released)
      if (offset >= 3) starts.push_back(offset);
    std::sort(starts.begin(), starts.end());
    return starts;
  }
  FramedPayload framed;
};

TEST_F(Frames, AFirstStartWritesWhatTheRecordLoopWrites) {
  ASSERT_TRUE(extract_frames());
  auto written = state().files;
  EXPECT_EQ(std::u16string(child_executable_path), u"C:\\T\\app.exe");
  EXPECT_TRUE(state().opened_as_program[u"C:\\T\\app.exe"]);
  // Frames of headers alone have nothing to write.
  EXPECT_EQ(frames_decoded().size(), kFramesWithContents);
  EXPECT_EQ(written, loop_files({}));
  EXPECT_EQ(written[u"C:\\T\\lib\\big.bin"], kRecords[1].contents);
  // On one core, one thread does the same; on many, the threads share it.
  for (uint32_t processors : {1u, 16u}) {
    start_fresh();
    state().processors = processors;
    ASSERT_TRUE(extract_frames());
    EXPECT_EQ(state().files, written) << processors;
  }
}

TEST_F(Frames, ALaterStartDecodesOnlyTheFramesOfTheFilesNotInPlace) {
  ASSERT_TRUE(extract_frames());
  // The last record, in the last frame alone; the empty one is written again
  // as at every start, with nothing to decode.
  state().files[u"C:\\T\\data\\d.txt"] = "last recorD";
  state().files[u"C:\\T\\lib\\empty.log"] = "left by the application";
  auto before = state().files;
  state().calls.clear();
  state().released.clear();
  ASSERT_TRUE(extract_frames());
  EXPECT_EQ(frames_decoded(), std::vector<uint64_t>{frame_start(framed.index, uint32_t(kCuts.size()))});
  EXPECT_EQ(calls_starting("open-at"), 1u);
  EXPECT_EQ(state().files[u"C:\\T\\lib\\empty.log"], "");
  auto after = state().files;
  EXPECT_EQ(after, loop_files(before));

  // The big file changed: all three of its frames, and no other.
  start_fresh();
  state().files = after;
  state().files[u"C:\\T\\lib\\big.bin"][150000] ^= 1;
  state().released.clear();
  ASSERT_TRUE(extract_frames());
  EXPECT_EQ(frames_decoded().size(), 3u);
  EXPECT_EQ(state().files[u"C:\\T\\lib\\big.bin"], kRecords[1].contents);
}

TEST_F(Frames, AFrameThatDoesNotDecodeLeavesTheRecordLoopToSayWhere) {
  // The last frame holds the big file's end and the records after it: the
  // big file's earlier frames are written, but it may not be left in part.
  state().payload[size_t(frame_start(framed.index, uint32_t(kCuts.size()))) + 8] ^= 0x5A;
  // Made with the damaged payload, so that only the frame tells.
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(state().payload.data()), uInt(state().payload.size()));
  for (int b = 0; b < 4; ++b) state().index[24 + b] = char(crc >> (8 * b));
  EXPECT_FALSE(extract_frames());
  EXPECT_EQ(state().files[u"C:\\T\\lib\\big.bin"], "");
  for (const auto& [path, contents] : state().files) {
    bool complete = false;
    for (const RecordSpec& r : kRecords) complete = complete || (path == u"C:\\T\\" + r.name && contents == r.contents);
    EXPECT_TRUE(complete || contents.empty()) << fake::narrow(path);
  }
  // The record loop then stops where the stream fails, as without frames.
  payload_open(false, false);
  EXPECT_THROW(extract_records(), FatalExit);
  payload_close();
  EXPECT_EQ(state().out, "Error, couldn't decode attached data.\n");
  // The next good start repairs everything.
  auto left = state().files;
  auto directories = state().directories;
  start_fresh();
  state().files = left;
  state().directories = directories;
  ASSERT_TRUE(extract_frames());
  for (const RecordSpec& r : kRecords) EXPECT_EQ(state().files[u"C:\\T\\" + r.name], r.contents);
}

TEST_F(Frames, AFileItCannotOpenOrWriteStopsWhereTheRecordLoopStops) {
  // Refused before anything is decoded: the loop writes what comes before it.
  state().unwritable.insert(u"C:\\T\\data\\d.txt");
  EXPECT_FALSE(extract_frames());
  EXPECT_TRUE(frames_decoded().empty());
  payload_open(false, false);
  EXPECT_THROW(extract_records(), FatalExit);
  payload_close();
  EXPECT_NE((state().out + state().err).find("failed to open"), std::string::npos);
  EXPECT_EQ(state().files[u"C:\\T\\app.exe"], kRecords[0].contents);
  EXPECT_EQ(state().files[u"C:\\T\\lib\\big.bin"], kRecords[1].contents);

  // A disk that fills while the big file is written, in its first piece or a
  // later one: the loop's message, and no file left in part.
  for (uint32_t processors : {1u, 2u}) for (long budget : {1000l, 150000l}) {
    start_fresh();
    state().processors = processors;
    state().write_budget = budget;
    EXPECT_THROW(extract_frames(), FatalExit) << processors;
    EXPECT_EQ(state().err.rfind("Error, couldn't unpack file to target path.", 0), 0u) << state().err;
    for (const auto& [path, contents] : state().files) {
      bool complete = false;
      for (const RecordSpec& r : kRecords) complete = complete || (path == u"C:\\T\\" + r.name && contents == r.contents);
      EXPECT_TRUE(complete || contents.empty()) << fake::narrow(path) << " " << processors;
    }
  }
}

// Patches boundary `i`'s stream offset and makes the index's own checksum fit.
std::string with_frame_start(std::string index, size_t records_size, uint32_t i, uint64_t stream_offset) {
  size_t at = 32 + records_size + 4 + 16 * i + 8;
  for (int b = 0; b < 8; ++b) index[at + b] = char(stream_offset >> (8 * b));
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(index.data() + 32), uInt(index.size() - 32));
  for (int b = 0; b < 4; ++b) index[28 + b] = char(crc >> (8 * b));
  return index;
}

TEST_F(Frames, AnIndexThatListsTheFramesWronglyIsNotFollowed) {
  size_t records_size = framed.index.size() - 32 - 4 - 16 * (kCuts.size() + 2);
  state().index = with_frame_start(framed.index, records_size, 4, 100001);
  EXPECT_FALSE(extract_frames());
  EXPECT_EQ(state().files, loop_files(state().files)) << "files complete or empty, as the loop takes them";
  for (const RecordSpec& r : kRecords) EXPECT_EQ(state().files[u"C:\\T\\" + r.name], r.contents);
}

TEST_F(Frames, NamesThatMayFoldIntoOneFileAreLeftToTheRecordLoop) {
  struct Case {
    std::u16string a, b;
    bool fully;  // the file system folds sharp s into "ss"
    bool meet;
  };
  const Case cases[] = {{u"data\\\u00C4.txt", u"data\\\u00E4.txt", false, true},
                        {u"data\\\u212A.txt", u"data\\k.txt", false, true},
                        {u"data\\Stra\u00DFe", u"data\\STRASSE", true, true},
                        {u"\u00C4\\x.txt", u"\u00E4\\x.txt", false, true},
                        {u"data\\\u00E9t\u00E9", u"data\\E\u0301TE\u0301", false, true},
                        {u"data\\\u0130.txt", u"data\\i\u0307.txt", false, true},
                        {u"data\\\u00C4.txt", u"data\\\u00C4b.txt", false, false}};
  for (const Case& c : cases) {
    start_fresh();
    state().folds_case = true;
    state().folds_fully = c.fully;
    FramedPayload f = make_framed_payload({{u"app.exe", "MZ"}, {c.a, "AAAAAA"}, {c.b, "bb"}}, {20, 30});
    state().payload = f.payload;
    state().index = f.index;
    bool taken = extract_frames();
    EXPECT_EQ(taken, !c.meet) << fake::narrow(c.b);
    if (taken)
      EXPECT_EQ(state().files, loop_files({})) << fake::narrow(c.b);
    else
      EXPECT_TRUE(state().files.empty()) << fake::narrow(c.b);
  }
}

TEST_F(Frames, WhatItCannotVouchForIsLeftToTheRecordLoopUntouched) {
  // Names a file system may take for one file: the loop's order decides.
  std::vector<RecordSpec> folded = {{u"app.exe", "MZ"}, {u"data\\LICENSE", ""}, {u"data\\license", "text"}};
  FramedPayload f = make_framed_payload(folded, {20});
  state().payload = f.payload;
  state().index = f.index;
  EXPECT_FALSE(extract_frames());
  EXPECT_TRUE(state().files.empty());
  // A record's file where another's folder goes.
  FramedPayload nested = make_framed_payload({{u"app.exe", "MZ"}, {u"lib\\a\\b", "inner"}, {u"lib\\a", "x"}}, {20});
  state().payload = nested.payload;
  state().index = nested.index;
  EXPECT_FALSE(extract_frames());
  EXPECT_TRUE(state().files.empty());
  // An empty record's file that holds what a record with contents holds may
  // be that record's file under a name folded past ASCII case.
  state().payload = framed.payload;
  state().index = framed.index;
  state().files[u"C:\\T\\data\\d.txt"] = "last record";
  state().files[u"C:\\T\\lib\\empty.log"] = "last record";
  auto before = state().files;
  EXPECT_FALSE(extract_frames());
  EXPECT_EQ(state().files, before);
  state().files.clear();
  // Too little memory for one frame's buffer beside the rest of the start.
  state().memory = 64u << 20;
  EXPECT_FALSE(extract_frames());
  EXPECT_TRUE(state().files.empty());
  state().memory = UINT64_MAX;
  // One frame, an index without frames, one made with another payload.
  FramedPayload one = make_framed_payload(kRecords, {});
  state().payload = one.payload;
  state().index = one.index;
  EXPECT_FALSE(extract_frames());
  state().payload = framed.payload;
  state().index = make_index(kRecords, framed.payload);
  EXPECT_FALSE(extract_frames());
  state().index = make_framed_payload(kRecords, {5, 17}).index;
  EXPECT_FALSE(extract_frames());
  EXPECT_TRUE(state().files.empty());
  // A name the loop refuses.
  FramedPayload unsafe = make_framed_payload({{u"app.exe", "MZ"}, {u"..\\x", "out"}}, {10});
  state().payload = unsafe.payload;
  state().index = unsafe.index;
  EXPECT_FALSE(extract_frames());
  EXPECT_TRUE(state().files.empty());
}

}  // namespace
