#include <gtest/gtest.h>

#include <string>

#include "child/command_line.h"
#include "tests/support/fake_platform.h"
#include "tests/support/windows_split.h"

namespace {

using fake::state;

std::u16string quoted(const std::u16string& argument) {
  char16_t buffer[1024];
  WideWriter line = WideWriter::replace(buffer, 1024);
  EXPECT_TRUE(append_argument(line, argument.c_str()));
  return buffer;
}

TEST(Quoting, Table) {
  const std::pair<std::u16string, std::u16string> table[] = {
      {u"plain", u"plain"},
      {u"C:\\dir\\file.txt", u"C:\\dir\\file.txt"},
      {u"two words", u"\"two words\""},
      {u"a\"b", u"\"a\\\"b\""},
      {u"a\\\\\"b", u"\"a\\\\\\\\\\\"b\""},
      {u"C:\\my dir\\", u"\"C:\\my dir\\\\\""},
      {u"a\\b c", u"\"a\\b c\""},
      {u"x\ty", u"\"x\ty\""},
      {u"x\ny", u"\"x\ny\""},
      {u"x\vy", u"\"x\vy\""},
      {u"", u"\"\""},  // an empty argument survives the round trip
      {u"\\", u"\\"},
      {u"caf\x00e9 \x4E2D", u"\"caf\x00e9 \x4E2D\""},
  };
  for (const auto& [argument, expected] : table) EXPECT_EQ(quoted(argument), expected) << fake::narrow(argument);
}

TEST(Quoting, EveryArgumentSurvivesTheWindowsRules) {
  const std::u16string corpus[] = {
      u"", u" ", u"\"", u"\\", u"\\\\", u"a\\", u"a\\\\", u"trailing\\ ", u"\\\"", u"\\\\\"",
      u"\"\"", u"a \"b\" c", u"C:\\Program Files\\App\\", u"tab\there", u"lf\nhere",
      u"vt\vhere", u"\x4E2D\x6587 \xD83D\xDE00", u"--name=", u"x\\\\\\\"y z",
  };
  for (const std::u16string& argument : corpus) {
    std::u16string line = u"C:\\launcher.exe " + quoted(argument);
    std::vector<std::u16string> back = windows_split(line);
    ASSERT_EQ(back.size(), 2u) << fake::narrow(argument);
    EXPECT_EQ(back[1], argument) << fake::narrow(argument);
  }
}

class ChildLine : public ::testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
};

TEST_F(ChildLine, TheLauncherPathReplacesTheFirstArgument) {
  state().module = u"C:\\apps\\Tool.exe";
  state().arguments = {u"tool", u"a", u"", u"b c"};
  EXPECT_EQ(std::u16string(build_child_command_line()), u"C:\\apps\\Tool.exe a \"\" \"b c\"");
  state().module = u"C:\\my apps\\Tool.exe";  // kept from the first call
  state().arguments = {u"..\\relative\\tool.exe"};
  EXPECT_EQ(std::u16string(build_child_command_line()), u"C:\\apps\\Tool.exe");
}

TEST_F(ChildLine, ALauncherPathWithASpaceIsQuoted) {
  state().module = u"C:\\my apps\\Tool.exe";
  state().arguments = {u"Tool"};
  std::u16string line = build_child_command_line();
  EXPECT_EQ(line, u"\"C:\\my apps\\Tool.exe\"");
  EXPECT_EQ(windows_split(line)[0], u"C:\\my apps\\Tool.exe");
}

TEST_F(ChildLine, ALineBeyondItsBufferStopsTheLauncher) {
  state().module = u"C:\\T.exe";  // 8 units, a space, then the argument
  state().arguments = {u"t", std::u16string(32767 - 9, u'a')};
  EXPECT_EQ(wide_length(build_child_command_line()), 32767u);
  state().arguments = {u"t", std::u16string(32767 - 8, u'a')};
  EXPECT_THROW(build_child_command_line(), FatalExit);
  EXPECT_EQ(state().out, "Error, arguments too long for the child's command line.\n");
}

}  // namespace
