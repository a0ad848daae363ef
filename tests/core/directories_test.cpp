#include <gtest/gtest.h>

#include <string>

#include "extract/directories.h"
#include "tests/support/fake_platform.h"

namespace {

using fake::state;
using Calls = std::vector<std::string>;

class Directories : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    state().profile = u"C:\\Users\\ann";
    state().directories = {u"C:\\T", u"C:\\Users", u"C:\\Users\\ann"};
  }
};

TEST_F(Directories, ClimbsDeepestFirstThenCreatesOnTheWayDown) {
  EXPECT_TRUE(create_containing_directories(u"C:\\T\\a\\b\\c\\f.txt"));
  EXPECT_EQ(state().calls, (Calls{"mkdir C:\\T\\a\\b\\c", "mkdir C:\\T\\a\\b", "mkdir C:\\T\\a",
                                  "mkdir C:\\T\\a\\b", "mkdir C:\\T\\a\\b\\c"}));
}

TEST_F(Directories, ASecondFileInAKnownDirectoryCostsNoCall) {
  EXPECT_TRUE(create_containing_directories(u"C:\\T\\a\\f1"));
  state().calls.clear();
  EXPECT_TRUE(create_containing_directories(u"C:\\T\\a\\f2"));
  EXPECT_TRUE(state().calls.empty());
}

TEST_F(Directories, AnExistingDirectoryIsConfirmedByOneCallAndRemembered) {
  EXPECT_TRUE(create_containing_directories(u"C:\\T\\f"));
  EXPECT_TRUE(create_containing_directories(u"C:\\T\\g"));
  EXPECT_EQ(state().calls, (Calls{"mkdir C:\\T"}));
}

TEST_F(Directories, DriveRootsAndALeadingSeparatorNeedNoCall) {
  EXPECT_TRUE(create_containing_directories(u"C:\\f.txt"));
  EXPECT_TRUE(create_containing_directories(u"\\f.txt"));
  EXPECT_TRUE(create_containing_directories(u"f.txt"));
  EXPECT_TRUE(state().calls.empty());
}

TEST_F(Directories, TheProfileFolderIsKnownFromTheStart) {
  EXPECT_TRUE(create_containing_directories(u"C:\\Users\\ann\\f"));
  EXPECT_TRUE(state().calls.empty());
}

TEST_F(Directories, AProfileFolderThatCannotBeFoundIsNoObstacle) {
  state().profile_fails = true;
  EXPECT_TRUE(create_containing_directories(u"C:\\T\\a\\f"));
  EXPECT_TRUE(create_containing_directories(u"C:\\T\\a\\g"));
  EXPECT_EQ(state().calls, (Calls{"mkdir C:\\T\\a"}));
  EXPECT_EQ(state().err, "");
}

TEST_F(Directories, ComparisonIsExactSoCaseVariantsAreSeparateEntries) {
  state().directories.insert(u"C:\\Dir");
  EXPECT_TRUE(ensure_directory(u"C:\\Dir"));
  EXPECT_TRUE(ensure_directory(u"C:\\dir"));  // the fake is case-sensitive: created
  EXPECT_TRUE(ensure_directory(u"C:\\Dir"));
  EXPECT_TRUE(ensure_directory(u"C:\\dir"));
  EXPECT_EQ(state().calls, (Calls{"mkdir C:\\Dir", "mkdir C:\\dir"}));
}

TEST_F(Directories, APlainFileWhereADirectoryIsNeededCountsAsExisting) {
  state().files[u"C:\\T\\blocker"] = "file";
  EXPECT_TRUE(create_containing_directories(u"C:\\T\\blocker\\f"));
  EXPECT_EQ(state().calls, (Calls{"mkdir C:\\T\\blocker"}));
}

TEST_F(Directories, AFailureIsReportedAndRetriedOnlyOnTheWayBack) {
  state().refused_directories.insert(u"C:\\T\\no");
  EXPECT_FALSE(create_containing_directories(u"C:\\T\\no\\f"));
  EXPECT_EQ(state().calls, (Calls{"mkdir C:\\T\\no", "mkdir C:\\T", "mkdir C:\\T\\no"}));
  state().calls.clear();
  EXPECT_FALSE(create_containing_directories(u"C:\\T\\no\\g"));  // failures are not remembered
  EXPECT_EQ(state().calls, (Calls{"mkdir C:\\T\\no", "mkdir C:\\T\\no"}));
}

TEST_F(Directories, ARelativeTopLevelIsRetriedWhenItHasNoParent) {
  state().refused_directories = {u"x"};
  EXPECT_FALSE(create_containing_directories(u"x\\y\\f"));
  EXPECT_EQ(state().calls, (Calls{"mkdir x\\y", "mkdir x", "mkdir x", "mkdir x\\y"}));
}

TEST_F(Directories, OnlyBackslashesSeparateLevels) {
  EXPECT_TRUE(create_containing_directories(u"C:\\T\\a/b\\f"));
  EXPECT_EQ(state().calls, (Calls{"mkdir C:\\T\\a/b"}));
}

TEST_F(Directories, AfterTheMemoIsFullDirectoriesAreStillCreatedButNotRemembered) {
  // The profile folder takes the first entry; 1023 more fill the memo.
  for (int i = 0; i < 1023; ++i)
    ASSERT_TRUE(ensure_directory((u"C:\\T\\d" + std::u16string(1, char16_t(0x4E00 + i))).c_str()));
  state().calls.clear();
  EXPECT_TRUE(ensure_directory(u"C:\\T\\d\x4E00"));  // remembered: no call
  EXPECT_TRUE(ensure_directory(u"C:\\T\\overflow"));
  EXPECT_TRUE(ensure_directory(u"C:\\T\\overflow"));  // not remembered: asked again
  EXPECT_EQ(state().calls, (Calls{"mkdir C:\\T\\overflow", "mkdir C:\\T\\overflow"}));
}

TEST_F(Directories, TheDeepestPathThatFitsNeedsNoRecursion) {
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

}  // namespace
