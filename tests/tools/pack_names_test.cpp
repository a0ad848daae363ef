#include <gtest/gtest.h>

#include <clocale>
#include <cstring>

#include "tools/pack_names.h"

namespace {

std::string refusal(const std::string& relative) {
  std::string why;
  std::u16string name = record_name(relative, &why);
  return name.empty() ? why : "";
}

TEST(RecordNames, AcceptedNamesUseBackslashes) {
  std::string why;
  EXPECT_EQ(record_name("app.exe", &why), u"app.exe");
  EXPECT_EQ(record_name("lib/sub/x.dll", &why), u"lib\\sub\\x.dll");
  EXPECT_EQ(record_name("caf\xc3\xa9/\xf0\x9f\x98\x80", &why), u"caf\x00e9\\\xD83D\xDE00");
  EXPECT_EQ(record_name(std::string(1023, 'n'), &why).size(), 1023u);
}

TEST(RecordNames, WhatTheLauncherReliesOnIsRefused) {
  EXPECT_EQ(refusal("/etc/passwd"), "absolute name");
  EXPECT_EQ(refusal("a/../b"), "'.' or '..' component");
  EXPECT_EQ(refusal("./a"), "'.' or '..' component");
  EXPECT_EQ(refusal(".."), "'.' or '..' component");
  EXPECT_EQ(refusal("a//b"), "empty path component");
  EXPECT_EQ(refusal("..."), "component of only dots and spaces");
  EXPECT_EQ(refusal("a/. ./b"), "component of only dots and spaces");
  EXPECT_EQ(refusal("a/"), "empty path component");
  EXPECT_EQ(refusal(""), "empty name");
  EXPECT_EQ(refusal("a\\b"), "backslash in a name");
  EXPECT_EQ(refusal("bad\xff"), "name is not valid UTF-8");
  EXPECT_EQ(refusal("\xed\xa0\x80"), "name is not valid UTF-8");
  EXPECT_EQ(refusal(std::string(1024, 'n')), "name longer than 1023 UTF-16 units");
  // 512 characters outside the Basic Multilingual Plane take 1024 units.
  std::string astral;
  for (int i = 0; i < 512; ++i) astral += "\xf0\x9f\x98\x80";
  EXPECT_EQ(refusal(astral), "name longer than 1023 UTF-16 units");
}

TEST(WindowsNames, WhatWindowsCannotCreateIsNamed) {
  EXPECT_EQ(windows_name_problem(u"lib\\app.dll"), "");
  EXPECT_EQ(windows_name_problem(u"console\\con-x.txt"), "") << "only a whole device name counts";
  EXPECT_EQ(windows_name_problem(u"COM10"), "");
  for (const char16_t* bad : {u"a:b", u"x\\what?", u"star*", u"pipe|", u"lt<", u"gt>", u"q\"", u"tab\t"})
    EXPECT_EQ(windows_name_problem(bad), "a character Windows does not allow in names") << bad[0];
  for (const char16_t* bad : {u"name.", u"dir \\x", u"x\\y "})
    EXPECT_EQ(windows_name_problem(bad), "a name ending in a dot or a space, which Windows drops");
  for (const char16_t* bad : {u"CON", u"con.txt", u"con.d\\x", u"sub\\Nul", u"aux .log", u"LPT9.x.y", u"com1"})
    EXPECT_EQ(windows_name_problem(bad), "a device name that Windows reserves");
}

TEST(WindowsNames, CaseIsFoldedBeyondAscii) {
  setlocale(LC_CTYPE, "C.UTF-8");
  EXPECT_EQ(windows_folded(u"ReadMe.TXT"), windows_folded(u"README.txt"));
  EXPECT_EQ(windows_folded(u"\u00e9t\u00e9"), windows_folded(u"\u00c9T\u00c9"));
  EXPECT_NE(windows_folded(u"a"), windows_folded(u"b"));
  EXPECT_EQ(windows_folded(u"\xD83D\xDE00"), u"\xD83D\xDE00");
}

TEST(TargetSpecs, ATargetMustBeAbsoluteOrBeginWithAVariableForAnAbsoluteFolder) {
  struct Case {
    const char* spec;
    bool windows;
    const char* problem;  // its beginning; empty when the spec is taken
  };
  const Case cases[] = {
      {"C:\\", true, "is a root folder"},
      {"C:", true, "is a root folder"},
      {".", false, "is relative"},
      {"..", false, "is relative"},
      {"rel/app", false, "is relative"},
      {"{PRODUCT}/x", false, "is relative"},
      {"{RANDOM}", false, "is relative"},
      {"C:/x", false, "is relative"},
      {"..\\x", true, "is relative"},
      {"{VERSION}\\x", true, "is relative"},
      {"C:x", true, "is relative"},  // the current folder of drive C
      {"\\x", true, "is relative"},  // the root of the current drive
      {"{CACHE_DIR", true, "is relative"},
      {"/opt/x", false, ""},
      {"{CACHE_DIR}/x", false, ""},
      {"{cache_dir}/x", false, ""},  // the launcher reads names in any case
      {"{HOME}/x", false, ""},
      {"{TEMP}/x", false, ""},
      {"{PROGRAM_DIR}/x", false, ""},
      {"{PROGRAM_BASE}.d", false, ""},
      {"C:\\x", true, ""},
      {"d:/x", true, ""},
      {"\\\\server\\share\\x", true, ""},
      {"\\\\?\\C:\\x", true, ""},
      {"{CACHE_DIR}\\x", true, ""},
      {"{PROGRAM_DIR}\\x", true, ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(target_spec_problem(c.spec, c.windows).substr(0, strlen(c.problem)), c.problem)
        << c.spec << (c.windows ? " for Windows" : " for Linux") << ": " << target_spec_problem(c.spec, c.windows);
}

}  // namespace
