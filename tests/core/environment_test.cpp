#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "templates/env.h"
#include "templates/expand.h"
#include "templates/run_identity.h"
#include "tests/support/fake_platform.h"

namespace {

using fake::state;

std::u16string take(char16_t* value) {
  std::u16string s = value != nullptr ? value : u"<none>";
  free(value);
  return s;
}

std::u16string expand(const std::u16string& spec) {
  char16_t out[kPathCapacity];
  return expand_target_spec(out, spec.c_str(), kPathCapacity) ? out : u"<fail>";
}

class Environment : public ::testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
};

TEST_F(Environment, GetSetUnset) {
  EXPECT_EQ(take(env_get("MORDAX_X")), u"<none>");
  EXPECT_TRUE(env_set("MORDAX_X", u"v\x00e9"));
  EXPECT_EQ(take(env_get("MORDAX_X")), u"v\x00e9");
  EXPECT_TRUE(env_unset("MORDAX_X"));
  EXPECT_EQ(take(env_get("MORDAX_X")), u"<none>");
  EXPECT_TRUE(env_unset("MORDAX_X"));  // deleting an absent variable changes nothing
  env_set("MORDAX_X", u"");
  EXPECT_EQ(take(env_get("MORDAX_X")), u"<none>");  // empty reads as not set
}

TEST_F(Environment, ValuesUpToTheLookupBufferAreWhole) {
  std::u16string longest(32767, u'v');
  env_set("MORDAX_X", longest.c_str());
  EXPECT_EQ(take(env_get("MORDAX_X")), longest);
  env_set("MORDAX_X", (longest + u"v").c_str());
  EXPECT_EQ(take(env_get("MORDAX_X")), u"<none>");
}

TEST_F(Environment, NamesUpTo39AsciiCharactersAreAccepted) {
  std::string name39(39, 'N'), name40(40, 'N');
  EXPECT_TRUE(env_set(name39.c_str(), u"ok"));
  EXPECT_EQ(take(env_get(name39.c_str())), u"ok");
  EXPECT_FALSE(env_set(name40.c_str(), u"no"));
  EXPECT_EQ(take(env_get(name40.c_str())), u"<none>");
  EXPECT_FALSE(env_set("caf\xc3\xa9", u"no"));
  EXPECT_EQ(state().environment.size(), 1u);
}

TEST(RandomToken, SeedOneGivesTheDocumentedBytes) {
  unsigned char bytes[8];
  random_bytes(1, bytes);
  const unsigned char expected[8] = {0x21, 0x01, 0xC5, 0x4F, 0xD1, 0xD0, 0x1A, 0xB2};
  EXPECT_EQ(0, memcmp(bytes, expected, 8));
  char16_t token[12];
  random_token(bytes, token);
  EXPECT_EQ(std::u16string(token), u"IQHFT9HQGrI");  // base64url of the eight bytes
  EXPECT_EQ(random_seed(0, 0, 0), 1u);             // never the all-zero state
  EXPECT_EQ(random_seed(0x100000002ull, 0x800000010ull, 4), 4u ^ 8u ^ 0x10u ^ 1u ^ 2u);
}

TEST_F(Environment, RunValuesAreMadeOnceStoredAndReused) {
  std::u16string first = expand(u"{RANDOM}/{RANDOM}");
  ASSERT_EQ(first.size(), 23u);
  EXPECT_EQ(first.substr(0, 11), first.substr(12));
  EXPECT_EQ(state().environment[u"MORDAX_ONEFILE_RANDOM"], first.substr(0, 11));
  state().counter = 999;  // a new seed would give another token
  EXPECT_EQ(expand(u"{RANDOM}"), first.substr(0, 11));
}

TEST_F(Environment, AStoredValueIsUsedUnchecked) {
  state().environment[u"MORDAX_ONEFILE_RANDOM"] = u"anything at all \x4E2D";
  EXPECT_EQ(expand(u"{RANDOM}"), u"anything at all \x4E2D");
  state().environment[u"MORDAX_ONEFILE_START"] = u"133000000000000001";
  EXPECT_EQ(expand(u"{TIME}"), u"133000000000000001");
}

TEST_F(Environment, TimeValues) {
  state().time = 133444444440000050;  // 5 microseconds past a second
  EXPECT_EQ(expand(u"{TIME_US}"), u"000005");
  state().time = 133444444441234567;
  EXPECT_EQ(expand(u"{TIME}"), u"133444444441234567");
  EXPECT_EQ(expand(u"{TIME_US}"), u"000005");  // stored by the first use
  EXPECT_EQ(state().environment[u"MORDAX_ONEFILE_TIME_US"], u"000005");
  EXPECT_EQ(state().environment[u"MORDAX_ONEFILE_START"], u"133444444441234567");
}

}  // namespace
