#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "extract/directories.h"
#include "tests/support/fake_platform.h"

namespace {

using fake::state;
using Calls = std::vector<std::string>;

// Both memos give the same answers and make the same calls below their capacity.
class Directories : public ::testing::TestWithParam<DirectoryMemo> {
 protected:
  void SetUp() override {
    fake::reset();
    use_directory_memo(GetParam());
    state().profile = u"C:\\Users\\ann";
    state().directories = {u"C:\\T", u"C:\\Users", u"C:\\Users\\ann"};
  }
};

TEST_P(Directories, ClimbsDeepestFirstThenCreatesOnTheWayDown) {
  EXPECT_TRUE(create_containing_directories(u"C:\\T\\a\\b\\c\\f.txt"));
  EXPECT_EQ(state().calls, (Calls{"mkdir C:\\T\\a\\b\\c", "mkdir C:\\T\\a\\b", "mkdir C:\\T\\a",
                                  "mkdir C:\\T\\a\\b", "mkdir C:\\T\\a\\b\\c"}));
}

TEST_P(Directories, ASecondFileInAKnownDirectoryCostsNoCall) {
  EXPECT_TRUE(create_containing_directories(u"C:\\T\\a\\f1"));
  state().calls.clear();
  EXPECT_TRUE(create_containing_directories(u"C:\\T\\a\\f2"));
  EXPECT_TRUE(state().calls.empty());
}

TEST_P(Directories, AnExistingDirectoryIsConfirmedByOneCallAndRemembered) {
  EXPECT_TRUE(create_containing_directories(u"C:\\T\\f"));
  EXPECT_TRUE(create_containing_directories(u"C:\\T\\g"));
  EXPECT_EQ(state().calls, (Calls{"mkdir C:\\T"}));
}

TEST_P(Directories, DriveRootsAndALeadingSeparatorNeedNoCall) {
  EXPECT_TRUE(create_containing_directories(u"C:\\f.txt"));
  EXPECT_TRUE(create_containing_directories(u"\\f.txt"));
  EXPECT_TRUE(create_containing_directories(u"f.txt"));
  EXPECT_TRUE(state().calls.empty());
}

TEST_P(Directories, TheProfileFolderIsKnownFromTheStart) {
  EXPECT_TRUE(create_containing_directories(u"C:\\Users\\ann\\f"));
  EXPECT_TRUE(state().calls.empty());
}

TEST_P(Directories, AProfileFolderThatCannotBeFoundIsNoObstacle) {
  state().profile_fails = true;
  EXPECT_TRUE(create_containing_directories(u"C:\\T\\a\\f"));
  EXPECT_TRUE(create_containing_directories(u"C:\\T\\a\\g"));
  EXPECT_EQ(state().calls, (Calls{"mkdir C:\\T\\a"}));
  EXPECT_EQ(state().err, "");
}

TEST_P(Directories, ComparisonIsExactSoCaseVariantsAreSeparateEntries) {
  state().directories.insert(u"C:\\Dir");
  EXPECT_TRUE(ensure_directory(u"C:\\Dir"));
  EXPECT_TRUE(ensure_directory(u"C:\\dir"));  // the fake is case-sensitive: created
  EXPECT_TRUE(ensure_directory(u"C:\\Dir"));
  EXPECT_TRUE(ensure_directory(u"C:\\dir"));
  EXPECT_EQ(state().calls, (Calls{"mkdir C:\\Dir", "mkdir C:\\dir"}));
}

TEST_P(Directories, APlainFileWhereADirectoryIsNeededCountsAsExisting) {
  state().files[u"C:\\T\\blocker"] = "file";
  EXPECT_TRUE(create_containing_directories(u"C:\\T\\blocker\\f"));
  EXPECT_EQ(state().calls, (Calls{"mkdir C:\\T\\blocker"}));
}

TEST_P(Directories, AFailureIsReportedAndRetriedOnlyOnTheWayBack) {
  state().refused_directories.insert(u"C:\\T\\no");
  EXPECT_FALSE(create_containing_directories(u"C:\\T\\no\\f"));
  EXPECT_EQ(state().calls, (Calls{"mkdir C:\\T\\no", "mkdir C:\\T", "mkdir C:\\T\\no"}));
  state().calls.clear();
  EXPECT_FALSE(create_containing_directories(u"C:\\T\\no\\g"));  // failures are not remembered
  EXPECT_EQ(state().calls, (Calls{"mkdir C:\\T\\no", "mkdir C:\\T\\no"}));
}

TEST_P(Directories, ARelativeTopLevelIsRetriedWhenItHasNoParent) {
  state().refused_directories = {u"x"};
  EXPECT_FALSE(create_containing_directories(u"x\\y\\f"));
  EXPECT_EQ(state().calls, (Calls{"mkdir x\\y", "mkdir x", "mkdir x", "mkdir x\\y"}));
}

TEST_P(Directories, OnlyBackslashesSeparateLevels) {
  EXPECT_TRUE(create_containing_directories(u"C:\\T\\a/b\\f"));
  EXPECT_EQ(state().calls, (Calls{"mkdir C:\\T\\a/b"}));
}

TEST_P(Directories, AfterTheMemoIsFullDirectoriesAreStillCreatedButNotRemembered) {
  size_t capacity = GetParam() == DirectoryMemo::listed ? kDirectoryMemoCapacity : kHashedMemoCapacity;
  // The profile folder takes the first entry; the others fill the memo.
  std::vector<std::u16string> paths;
  for (size_t i = 1; i < capacity; ++i)
    paths.push_back(u"C:\\T\\d" + std::u16string{char16_t(0x4E00 + i % 4096), char16_t(0x4E00 + i / 4096)});
  for (const std::u16string& path : paths) ASSERT_TRUE(ensure_directory(path.c_str()));
  state().calls.clear();
  for (const std::u16string& path : paths) ASSERT_TRUE(ensure_directory(path.c_str()));  // remembered: no call
  EXPECT_TRUE(ensure_directory(u"C:\\T\\overflow"));
  EXPECT_TRUE(ensure_directory(u"C:\\T\\overflow"));  // not remembered: asked again
  EXPECT_EQ(state().calls, (Calls{"mkdir C:\\T\\overflow", "mkdir C:\\T\\overflow"}));
}

TEST_P(Directories, AMemoAlreadyInUseStaysAsItIs) {
  EXPECT_TRUE(ensure_directory(u"C:\\T\\a"));
  use_directory_memo(DirectoryMemo::hashed);
  EXPECT_TRUE(ensure_directory(u"C:\\T\\a"));
  EXPECT_EQ(state().calls, (Calls{"mkdir C:\\T\\a"}));
}

TEST_P(Directories, TheDeepestPathThatFitsNeedsNoRecursion) {
  // 2047 levels of one-unit names: a recursive climb would need 2047 frames of
  // 8 KiB each; the iterative climb needs one buffer.
  std::u16string path = u"C:";
  while (path.size() + 2 < kPathCapacity - 2) path += u"\\d";
  path += u"\\f";
  state().refused_directories.insert(u"C:\\d");
  EXPECT_FALSE(create_containing_directories(path.c_str()));
  size_t levels = (path.size() - 4) / 2;  // "C:" + levels * "\d" + "\f"
  EXPECT_EQ(state().calls.size(), 2 * levels);  // every level fails up, then again down
}

INSTANTIATE_TEST_SUITE_P(Memos, Directories, ::testing::Values(DirectoryMemo::listed, DirectoryMemo::hashed),
                         [](const ::testing::TestParamInfo<DirectoryMemo>& info) {
                           return info.param == DirectoryMemo::listed ? "Listed" : "Hashed";
                         });

}  // namespace
