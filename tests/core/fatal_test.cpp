#include <gtest/gtest.h>

#include "launcher/fatal.h"
#include "tests/support/fake_platform.h"

namespace {

using fake::state;

template <typename F>
int status_of(F&& f) {
  try {
    f();
  } catch (const FatalExit& e) {
    return e.status;
  }
  return -1;
}

class Fatal : public ::testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
};

TEST_F(Fatal, FixedMessagesGoToStandardOutputWithOneNewline) {
  EXPECT_EQ(status_of([] { fatal_error("Error, failed to register signal handler."); }), 2);
  EXPECT_EQ(state().out, "Error, failed to register signal handler.\n");
  EXPECT_EQ(state().err, "");
}

TEST_F(Fatal, PathMessagesGoToStandardErrorAsUtf8) {
  EXPECT_EQ(status_of([] { fatal_open_error(u"C:\\T\\caf\x00e9\\\x4E2D\xD83D\xDE00\xD800x"); }), 2);
  EXPECT_EQ(state().err, "Error, failed to open 'C:\\T\\caf\xc3\xa9\\\xe4\xb8\xad\xf0\x9f\x98\x80\xef\xbf\xbdx' for writing.\n");
  EXPECT_EQ(state().out, "");
}

TEST_F(Fatal, ExpansionFailureShowsTheTemplateAndEndsNonZero) {
  int status = status_of([] { fatal_expansion_error(u"{CACHE_DIR}\\tarvell-2.3.8"); });
  EXPECT_NE(status, 0);
  EXPECT_EQ(status, kExpansionFailureStatus);
  EXPECT_EQ(state().err, "Error, couldn't runtime expand spec '{CACHE_DIR}\\tarvell-2.3.8'.\n");
}

TEST_F(Fatal, SystemErrorLines) {
  state().error_texts = {{2, "The system cannot find the file specified.\r\n"},
                         {5, "\r\n\r\n"},
                         {6, "line one\r\nline two\n"},
                         {0x80070005, "Access is denied.\r\n"}};
  print_system_error("Error, couldn't launch child", 2);
  print_system_error("m", 5);
  print_system_error("m", 6);
  print_system_error("m", 0x80070005);
  print_system_error("m", 77);  // the system has no text for it (unlike 5, whose text is only line ends)
  EXPECT_EQ(state().err,
            "Error, couldn't launch child ([Error 2] The system cannot find the file specified.)\n"
            "m ([Error 5] )\n"
            "m ([Error 6] line one\r\nline two)\n"
            "m ([Error -2147024891] Access is denied.)\n"
            "m ([Error 77] no system text for this code)\n");
}

TEST_F(Fatal, UnpackErrorReadsTheLastSystemErrorItself) {
  state().last_error = 112;
  state().error_texts[112] = "There is not enough space on the disk.\r\n";
  EXPECT_EQ(status_of([] { fatal_unpack_error(); }), 2);
  EXPECT_EQ(state().err,
            "Error, couldn't unpack file to target path. ([Error 112] There is not enough space on the disk.)\n");
}

TEST_F(Fatal, PayloadMessages) {
  EXPECT_EQ(status_of(fatal_header_error), 2);
  EXPECT_EQ(status_of(fatal_memory_error), 2);
  EXPECT_EQ(status_of(fatal_decode_error), 2);
  EXPECT_EQ(state().out,
            "Error, couldn't find attached data header.\n"
            "Error, couldn't allocate memory.\n"
            "Error, couldn't decode attached data.\n");
}

}  // namespace
