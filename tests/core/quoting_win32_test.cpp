// The quoting against the system's own splitter (CommandLineToArgvW).
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "child/command_line.h"

namespace {

TEST(QuotingOnWindows, CommandLineToArgvGivesBackEveryArgument) {
  const std::u16string corpus[] = {
      u"", u" ", u"\"", u"\\", u"\\\\", u"a\\", u"trailing\\ ", u"\\\"", u"\\\\\"", u"\"\"",
      u"a \"b\" c", u"C:\\Program Files\\App\\", u"tab\there", u"lf\nhere", u"vt\vhere",
      u"\x4E2D\x6587 \xD83D\xDE00", u"--name=", u"x\\\\\\\"y z", u"plain", u"C:\\dir\\file.txt"};
  char16_t line[4096];
  WideWriter writer = WideWriter::replace(line, 4096);
  writer.put(u"C:\\launcher.exe");
  for (const std::u16string& argument : corpus) {
    writer.put(u' ');
    ASSERT_TRUE(append_argument(writer, argument.c_str()));
  }
  int count = 0;
  wchar_t** back = CommandLineToArgvW(reinterpret_cast<const wchar_t*>(line), &count);
  ASSERT_NE(back, nullptr);
  ASSERT_EQ(count, int(std::size(corpus)) + 1);
  for (int i = 1; i < count; ++i)
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(back[i])), corpus[i - 1]) << i;
  LocalFree(back);
}

}  // namespace
