#include <gtest/gtest.h>

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

}  // namespace
