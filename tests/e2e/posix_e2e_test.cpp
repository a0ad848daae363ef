// Linux only: signals (the part console events play on Windows) and a user
// without a home.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/e2e/process_posix.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

class Signals : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    scratch = fs::temp_directory_path() / ("mordax-signals-" + name);
    fs::remove_all(scratch);
    fs::create_directories(scratch);
  }
  void TearDown() override { fs::remove_all(scratch); }

  RunOptions options(std::map<std::string, std::optional<std::string>> extra = {}) {
    RunOptions o;
    o.env = {{"TMPDIR", scratch.string()}};
    o.env.insert(extra.begin(), extra.end());
    return o;
  }
  std::string launcher() { return std::string(E2E_BIN) + "/probe"; }

  static long child_pid(const std::string& out) {
    size_t at = out.find("pid=");
    return at == std::string::npos ? 0 : std::stol(out.substr(at + 4));
  }
  static bool gone(long pid) {
    for (int i = 0; i < 100; ++i) {
      if (kill(pid_t(pid), 0) != 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  fs::path scratch;
};

TEST_F(Signals, AChildEndedByASignalEndsTheLauncherByTheSameSignal) {
  for (int s : {SIGTERM, SIGABRT, SIGKILL}) {
    RunResult r = run_program(launcher(), {}, options({{"PROBE_SIGNAL", std::to_string(s)}}));
    EXPECT_EQ(r.signal, s);
  }
}

TEST_F(Signals, AChildThatIgnoresTheSignalIsKilledAfterFiveSeconds) {
  Started s = start_program(launcher(), {}, options({{"PROBE_SLEEP_MS", "60000"}, {"PROBE_IGNORE_INTERRUPT", "1"}}));
  ASSERT_TRUE(wait_for_output(&s, "sleeping\n"));
  auto begin = Clock::now();
  kill(pid_t(s.pid), SIGINT);
  RunResult r = finish_program(s);
  double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  EXPECT_EQ(r.signal, SIGINT);
  EXPECT_GE(seconds, 4.5);
  EXPECT_LT(seconds, 15.0);
  EXPECT_TRUE(gone(child_pid(r.out)));
}

TEST_F(Signals, AChildThatEndsWithinTheGraceIsNotKilled) {
  Started s = start_program(launcher(), {}, options({{"PROBE_SLEEP_MS", "1000"}, {"PROBE_IGNORE_INTERRUPT", "1"}}));
  ASSERT_TRUE(wait_for_output(&s, "sleeping\n"));
  auto begin = Clock::now();
  kill(pid_t(s.pid), SIGTERM);
  RunResult r = finish_program(s);
  double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_LT(seconds, 4.0);
}

TEST_F(Signals, ASignalSentToTheLauncherAloneReachesTheChild) {
  Started s = start_program(launcher(), {}, options({{"PROBE_SLEEP_MS", "60000"}}));
  ASSERT_TRUE(wait_for_output(&s, "sleeping\n"));
  auto begin = Clock::now();
  kill(pid_t(s.pid), SIGTERM);
  RunResult r = finish_program(s);
  double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_LT(seconds, 4.0);  // the child ended on the relayed signal, not by the kill
  EXPECT_TRUE(gone(child_pid(r.out)));
}

TEST_F(Signals, AUserWithoutAHomeCannotCreateDirectories) {
  // A user id with no password entry and no HOME: the profile folder cannot be
  // found when the first directory is needed.
  if (access("/usr/bin/setpriv", X_OK) != 0 || geteuid() != 0) GTEST_SKIP() << "needs root and setpriv";
  fs::permissions(scratch, fs::perms::all);
  RunOptions o = options({{"HOME", std::nullopt}, {"XDG_CACHE_HOME", std::nullopt}});
  RunResult r = run_program("/usr/bin/setpriv", {"--reuid=54321", "--regid=54321", "--clear-groups", launcher()}, o);
  EXPECT_EQ(r.status, 3u);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Error, couldn't runtime expand spec '{HOME}'.\n");
}

}  // namespace
