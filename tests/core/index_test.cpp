// A later start with an index: every file in place means nothing is decoded;
// anything else, or an index that is stale, foreign or damaged, leaves the work
// to the record loop, whose results the other tests pin down.
#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <functional>
#include <map>

#include "extract/extract.h"
#include "payload/index.h"
#include "payload/payload.h"
#include "tests/support/fake_platform.h"
#include "tests/support/payload_builder.h"

namespace {

using fake::state;

const std::vector<RecordSpec> kRecords = {
    {u"app.exe", "MZ program"}, {u"lib\\data.bin", "data"}, {u"lib\\empty.log", ""}};

class Index : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset_in_target(u"C:\\T");
    state().directories.insert(u"C:\\T\\lib");
    state().payload = make_payload(kRecords);
    state().index = make_index(kRecords, state().payload);
    state().files[u"C:\\T\\app.exe"] = "MZ program";
    state().files[u"C:\\T\\lib\\data.bin"] = "data";
    state().files[u"C:\\T\\lib\\empty.log"] = "left by the application";
  }
  InPlace found() {
    state().calls.clear();
    return records_in_place();
  }
  bool in_place() { return found() == InPlace::all; }
  size_t opens() {
    return size_t(std::count_if(state().calls.begin(), state().calls.end(),
                                [](const std::string& c) { return c.rfind("open", 0) == 0; }));
  }
};

TEST_F(Index, EveryFileInPlaceDoesWhatTheLoopWouldWithoutDecoding) {
  // A frame that would not decode: the shortcut reads the payload only for
  // the checksum the index was made with.
  state().payload[state().payload.size() / 2] ^= 0x55;
  state().index = make_index(kRecords, state().payload);
  ASSERT_TRUE(in_place());
  EXPECT_EQ(std::u16string(child_executable_path), u"C:\\T\\app.exe");
  // The empty record is written again, as at every start; nothing else is.
  EXPECT_EQ(opens(), 1u);
  EXPECT_EQ(state().files[u"C:\\T\\lib\\empty.log"], "");
  EXPECT_EQ(state().files[u"C:\\T\\app.exe"], "MZ program");
}

TEST_F(Index, AnyFileNotInPlaceLeavesEverythingToTheRecordLoop) {
  for (auto change : std::vector<std::function<void()>>{
           [] { state().files[u"C:\\T\\lib\\data.bin"] = "DATA"; },  // same size, other contents
           [] { state().files.erase(u"C:\\T\\lib\\data.bin"); },     // missing
           [] {                                                       // replaced by a directory
             state().files.erase(u"C:\\T\\app.exe");
             state().directories.insert(u"C:\\T\\app.exe");
           }}) {
    SetUp();
    change();
    EXPECT_EQ(found(), InPlace::missing);
    EXPECT_EQ(opens(), 0u) << "nothing written before the loop runs";
    EXPECT_EQ(child_executable_path[0], 0);
  }
}

// A payload of several megabytes is checked on two cores; the verdicts are the
// same, whichever core meets the mismatch.
TEST_F(Index, ALargePayloadGetsTheSameVerdictsOnTwoCores) {
  const std::string big = noise(6u << 20, 8);
  std::vector<RecordSpec> records = kRecords;
  records.push_back({u"lib\\big.bin", big});
  auto set_up = [&] {
    SetUp();
    state().payload = make_payload(records);
    ASSERT_GE(state().payload.size(), 4u << 20) << "large enough for the second core";
    state().index = make_index(records, state().payload);
    state().files[u"C:\\T\\lib\\big.bin"] = big;
  };
  set_up();
  EXPECT_TRUE(in_place());
  EXPECT_EQ(std::u16string(child_executable_path), u"C:\\T\\app.exe");
  const std::pair<std::function<void()>, InPlace> changes[] = {
      {[&] { state().files[u"C:\\T\\lib\\big.bin"].back() ^= 1; }, InPlace::missing},
      {[] { state().files[u"C:\\T\\app.exe"] = "MZ PROGRAM"; }, InPlace::missing},
      {[] { state().files.erase(u"C:\\T\\lib\\data.bin"); }, InPlace::missing},
      // The files in place, a stale index: nothing says that unpacking writes.
      {[] { state().payload[state().payload.size() / 2] ^= 1; }, InPlace::unknown}};
  for (const auto& [change, verdict] : changes) {
    set_up();
    child_executable_path[0] = 0;
    change();
    EXPECT_EQ(found(), verdict);
    EXPECT_EQ(opens(), 0u);
    EXPECT_EQ(child_executable_path[0], 0);
  }
}

TEST_F(Index, AnIndexNotMadeWithThisPayloadIsNeverTrusted) {
  // Stale: the payload was rebuilt with other contents of the same size, the
  // old index kept.
  state().payload = make_payload({{u"app.exe", "MZ PROGRAM"}, {u"lib\\data.bin", "data"}, {u"lib\\empty.log", ""}});
  ASSERT_EQ(state().payload.size(), make_payload(kRecords).size());
  EXPECT_FALSE(in_place());
  // Foreign: made for other records, but claims this payload.
  SetUp();
  state().index = make_index({{u"other.exe", "MZ program"}}, state().payload);
  state().files[u"C:\\T\\other.exe"] = "MZ program";
  EXPECT_TRUE(in_place()) << "an index that matches its payload is the writer's word";
  SetUp();
  // Damaged: any byte of it.
  std::string good = state().index;
  for (size_t at = 0; at < good.size(); ++at) {
    state().index = good;
    state().index[at] = char(state().index[at] ^ 0x20);
    EXPECT_EQ(found(), InPlace::unknown) << "byte " << at;
  }
  // Cut short, or none at all.
  state().index = good.substr(0, good.size() - 1);
  EXPECT_EQ(found(), InPlace::unknown);
  state().index.clear();
  EXPECT_EQ(found(), InPlace::unknown);
}

// The writer never stores a checksum of 0; an index that does cannot make an
// absent file count as in place.
TEST_F(Index, AnAbsentFileNeverMatchesAStoredZero) {
  std::string& index = state().index;
  size_t checksum_at = 32 + 2 * (7 + 1) + 8;  // after "app.exe", its zero unit and its size
  for (int i = 0; i < 4; ++i) index[checksum_at + size_t(i)] = 0;
  uint32_t body = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(index.data() + 32), uInt(index.size() - 32)));
  for (int i = 0; i < 4; ++i) index[28 + size_t(i)] = char(body >> (8 * i));
  state().files.erase(u"C:\\T\\app.exe");
  EXPECT_FALSE(in_place());
}

// Two records may name one file: the same name twice in a payload made
// elsewhere, or names a file system folds into one, as Windows does with case.
// An empty record before a record with contents then empties the file the
// later record finds in place; the record loop writes it again after that.
TEST_F(Index, AfterEveryStartTheFilesAreWhatTheRecordLoopLeaves) {
  const std::pair<bool, std::vector<RecordSpec>> payloads[] = {
      {true, {{u"app.exe", "MZ"}, {u"data\\LICENSE", ""}, {u"data\\license", "terms"}}},
      {true, {{u"app.exe", "MZ"}, {u"data\\license", "terms"}, {u"data\\LICENSE", ""}}},
      {false, {{u"app.exe", "MZ"}, {u"data\\f", ""}, {u"data\\f", "terms"}}},
  };
  for (const auto& [folds, records] : payloads) {
    std::vector<std::map<std::u16string, std::string>> loop_left;
    for (bool with_index : {false, true}) {
      SetUp();
      state().folds_case = folds;
      state().files.clear();
      state().payload = make_payload(records);
      state().index = make_index(records, state().payload);
      for (size_t start = 0; start < 3; ++start) {
        child_executable_path[0] = 0;
        if (!with_index || records_in_place() != InPlace::all) {
          payload_open(false, false);
          extract_records();
          payload_close();
        }
        if (!with_index)
          loop_left.push_back(state().files);
        else
          EXPECT_TRUE(state().files == loop_left[start]) << fake::narrow(records[1].name) << " first, start " << start;
      }
    }
  }
}

TEST_F(Index, NamesTheLoopWouldRefuseAreLeftToTheLoop) {
  std::vector<RecordSpec> climbing = {{u"..\\evil.exe", "MZ"}};
  state().payload = make_payload(climbing);
  state().index = make_index(climbing, state().payload);
  state().files[u"C:\\evil.exe"] = "MZ";
  EXPECT_FALSE(in_place());
}

}  // namespace
