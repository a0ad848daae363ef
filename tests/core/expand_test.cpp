#include <gtest/gtest.h>

#include <string>

#include "templates/expand.h"
#include "tests/support/fake_platform.h"

namespace {

using fake::state;

// Expands with the given capacity; "<fail>" when the expansion fails.
std::u16string expand(const std::u16string& spec, size_t capacity = kPathCapacity) {
  std::u16string out(capacity + 8, u'#');
  out[capacity] = u'!';  // a guard just past the capacity
  bool ok = expand_target_spec(out.data(), spec.c_str(), capacity);
  EXPECT_EQ(out[capacity], u'!') << "wrote past the capacity";
  return ok ? std::u16string(out.c_str()) : u"<fail>";
}

class Expansion : public ::testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
};

TEST_F(Expansion, VariablesOfTheTable) {
  state().environment[u"MORDAX_ONEFILE_PARENT"] = u"777";
  const std::pair<std::u16string, std::u16string> table[] = {
      {u"", u""},
      {u"plain\\path", u"plain\\path"},
      {u"{TEMP}\\x", u"C:\\Temp\\x"},
      {u"{PROGRAM}", u"C:\\apps\\Tool.EXE"},
      {u"{PROGRAM_BASE}", u"C:\\apps\\Tool"},
      {u"{PROGRAM_DIR}", u"C:\\apps"},
      {u"{PID}", u"777"},
      {u"{HOME}", u"C:\\Users\\ann"},
      {u"{CACHE_DIR}\\tarvell-2.3.8", u"C:\\Users\\ann\\AppData\\Local\\tarvell-2.3.8"},
      {u"{cache_dir}\\tarvell-2.3.8", u"C:\\Users\\ann\\AppData\\Local\\tarvell-2.3.8"},
      {u"{COMPANY}-{VERSION}", u"Tarvell-2.3.8"},
      {u"{PRODUCT}/{FILE_VERSION}/{PRODUCT_VERSION}", u"Tarvell Pro/2.3.8/2.3.8"},
      {u"abc{TEMP", u"abc"},
      {u"{A{TEMP}", u"C:\\Temp"},
      {u"a}b", u"a}b"},
      {u"{}", u"<fail>"},
      {u"{NOSUCH}", u"<fail>"},
      {u"{TEMPX}", u"<fail>"},
  };
  for (const auto& [spec, expected] : table) EXPECT_EQ(expand(spec), expected) << fake::narrow(spec);
}

TEST_F(Expansion, ALiteralFitsWithCapacityLengthPlusOneOnly) {
  std::u16string spec = u"C:\\abc";
  EXPECT_EQ(expand(spec, spec.size() + 1), spec);
  EXPECT_EQ(expand(spec, spec.size()), u"<fail>");
  EXPECT_EQ(expand(u"", 1), u"");
}

TEST_F(Expansion, ValuesThatDoNotFitFailWithoutWritingPastTheCapacity) {
  // "C:\Users\ann" is 12 units.
  EXPECT_EQ(expand(u"{HOME}", 13), u"C:\\Users\\ann");
  EXPECT_EQ(expand(u"{HOME}", 12), u"<fail>");
  EXPECT_EQ(expand(u"x{COMPANY}", 8), u"<fail>");
  // The own path is cut to "C:\\" to fit, then at its last backslash.
  EXPECT_EQ(expand(u"{PROGRAM_DIR}", 4), u"C:");
  EXPECT_EQ(expand(u"{TEMP}", 5), u"<fail>");  // the folder does not fit
}

TEST_F(Expansion, TrailingSeparatorsGoButNeverTheFirstUnit) {
  state().temp = u"C:\\Temp\\\\";
  EXPECT_EQ(expand(u"{TEMP}\\f"), u"C:\\Temp\\f");
  state().profile = u"C:\\";
  EXPECT_EQ(expand(u"{HOME}"), u"C:");
  state().profile = u"\\\\";
  EXPECT_EQ(expand(u"{HOME}"), u"\\");
  // An unobtainable temporary folder fails the expansion like any other folder.
  state().temp_fails = true;
  EXPECT_EQ(expand(u"C:\\x\\{TEMP}"), u"<fail>");
}

TEST_F(Expansion, ProgramNamesWithoutExeAndWithoutSeparators) {
  state().module = u"C:\\apps\\tool.bin";
  EXPECT_EQ(expand(u"{PROGRAM_BASE}"), u"C:\\apps\\tool.bin");
  state().module = u"tool.exe";
  EXPECT_EQ(expand(u"{PROGRAM_DIR}"), u"tool.exe");
  EXPECT_EQ(expand(u"[{PROGRAM_BASE}]"), u"[tool]");
  state().module = u"C:\\apps\\.exe";
  EXPECT_EQ(expand(u"{PROGRAM_BASE}"), u"C:\\apps\\");
}

TEST_F(Expansion, SystemLookupsThatFailMakeTheExpansionFail) {
  state().module_fails = true;
  EXPECT_EQ(expand(u"{PROGRAM}"), u"<fail>");
  EXPECT_EQ(expand(u"{PROGRAM_BASE}"), u"<fail>");
  EXPECT_EQ(expand(u"{PROGRAM_DIR}"), u"<fail>");
  state().profile_fails = true;
  EXPECT_EQ(expand(u"{HOME}"), u"<fail>");
  state().cache_fails = true;
  EXPECT_EQ(expand(u"{CACHE_DIR}"), u"<fail>");
}

TEST_F(Expansion, PidUsesTheParentVariableOnlyWhenItIsAllDigits) {
  EXPECT_EQ(expand(u"{PID}"), u"4242");  // not set: the process id
  state().environment[u"MORDAX_ONEFILE_PARENT"] = u"";
  EXPECT_EQ(expand(u"{PID}"), u"4242");
  state().environment[u"MORDAX_ONEFILE_PARENT"] = u"12a";
  EXPECT_EQ(expand(u"{PID}"), u"<fail>");
  state().environment[u"MORDAX_ONEFILE_PARENT"] = u"-1";
  EXPECT_EQ(expand(u"{PID}"), u"<fail>");
}

TEST_F(Expansion, NamesPastTheirBufferNeverMatchNorOverflow) {
  std::u16string long_name = u"{" + std::u16string(5000, u'T') + u"}";
  EXPECT_EQ(expand(long_name), u"<fail>");
  // 1023 units fit the buffer; the name is simply unknown.
  EXPECT_EQ(expand(u"{" + std::u16string(1023, u'T') + u"}"), u"<fail>");
  // An unclosed overlong name is dropped like any unclosed name.
  EXPECT_EQ(expand(u"ok{" + std::u16string(5000, u'T')), u"ok");
}

}  // namespace
