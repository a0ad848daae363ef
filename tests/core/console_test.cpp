#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "child/run_child.h"
#include "launcher/console.h"
#include "tests/support/fake_platform.h"

namespace {

using fake::state;
using Calls = std::vector<std::string>;

TEST(ConsoleWindow, HiddenOnlyWhenTheLauncherIsAloneOnAConsoleWithAWindow) {
  EXPECT_TRUE(console_is_own(7, 1));
  EXPECT_TRUE(console_is_own(7, 0));  // the query failed
  EXPECT_FALSE(console_is_own(7, 2));
  EXPECT_FALSE(console_is_own(7, 3));
  EXPECT_FALSE(console_is_own(0, 1));
  fake::reset();
  state().window = 7;
  state().console_count = 1;
  hide_console_window();
  state().console_count = 2;
  hide_console_window();
  EXPECT_EQ(state().calls, (Calls{"hide-window"}));
}

class Handler : public ::testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
};

TEST_F(Handler, WithoutAChildItDoesNothing) {
  for (uint32_t type : {0u, 1u, 2u, 5u, 6u}) EXPECT_FALSE(console_control_handler(type));
  EXPECT_TRUE(state().calls.empty());
}

TEST_F(Handler, AChildThatEndsInTimeIsOnlyClosed) {
  child_process = 202;
  EXPECT_FALSE(console_control_handler(0));
  EXPECT_EQ(state().calls, (Calls{"relay 202 0", "wait 202 5000", "close-process 202"}));
  EXPECT_EQ(child_process, 0);
}

// Returning lets the system end the launcher, the first handler's wait with it,
// so a second event must not return before the child has been dealt with.
TEST_F(Handler, ASecondEventDuringTheGraceReturnsOnlyOnceTheChildIsTerminated) {
  state().child_ends_within_grace = false;
  child_process = 202;
  std::atomic<bool> second_returned{false};
  std::thread second;
  state().during_grace = [&] {
    second = std::thread([&] {
      EXPECT_FALSE(console_control_handler(2));
      second_returned = true;
    });
    // Long enough for a second handler that does not wait to have returned.
    for (int i = 0; i < 50 && !second_returned; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    state().calls.push_back(second_returned ? "second returned" : "second waits");
  };
  EXPECT_FALSE(console_control_handler(0));
  second.join();
  EXPECT_EQ(state().calls, (Calls{"relay 202 0", "wait 202 5000", "second waits", "terminate 202", "close-process 202"}));
  state().calls.clear();
  EXPECT_FALSE(console_control_handler(1));  // the child is dealt with: nothing left to do
  EXPECT_TRUE(state().calls.empty());
}

TEST_F(Handler, AChildStillRunningAfterFiveSecondsIsTerminated) {
  state().child_ends_within_grace = false;
  child_process = 202;
  EXPECT_FALSE(console_control_handler(6));
  EXPECT_EQ(state().calls, (Calls{"relay 202 6", "wait 202 5000", "terminate 202", "close-process 202"}));
}

TEST_F(Handler, OtherEventTypesLeaveTheChildAlone) {
  child_process = 202;
  for (uint32_t type : {3u, 4u, 7u, 100u}) EXPECT_FALSE(console_control_handler(type));
  EXPECT_TRUE(state().calls.empty());
  EXPECT_EQ(child_process, 202);
}

}  // namespace
