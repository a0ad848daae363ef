// Linux only: signals (the part console events play on Windows) and a user
// without a home.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "tests/e2e/launchers.h"
#include "tests/support/process_posix.h"
#include "tests/e2e/tree_digest.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

class Signals : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    scratch = fs::temp_directory_path() / scratch_name("mordax-signals", name);
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
  std::string launcher() { return launchers_folder() + "/probe"; }
  std::string quick() { return launchers_folder() + "/quick"; }
  std::string many() { return launchers_folder() + "/many"; }

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

  // Starts the small launcher, waits until its child sleeps, sends `signal` to
  // the launcher alone, and returns how it ended and how long that took.
  RunResult signal_while_child_sleeps(const char* sleep_ms, bool child_ignores, int signal, double* seconds) {
    std::map<std::string, std::optional<std::string>> env = {{"PROBE_SLEEP_MS", sleep_ms}};
    if (child_ignores) env["PROBE_IGNORE_INTERRUPT"] = "1";
    Started s = start_program(quick(), {}, options(env));
    EXPECT_TRUE(wait_for_output(&s, "sleeping\n"));
    auto begin = Clock::now();
    kill(pid_t(s.pid), signal);
    RunResult r = finish_program(s);
    *seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    return r;
  }

  fs::path scratch;
};

TEST_F(Signals, AChildEndedByASignalEndsTheLauncherByTheSameSignal) {
  for (int s : {SIGTERM, SIGABRT, SIGKILL}) {
    RunResult r = run_program(quick(), {}, options({{"PROBE_SIGNAL", std::to_string(s)}}));
    EXPECT_EQ(r.signal, s);
  }
}

TEST_F(Signals, AChildThatIgnoresTheSignalIsKilledAfterFiveSeconds) {
  double seconds = 0;
  RunResult r = signal_while_child_sleeps("60000", true, SIGINT, &seconds);
  EXPECT_EQ(r.signal, SIGINT);
  EXPECT_GE(seconds, 4.5);
  EXPECT_LT(seconds, 15.0);
  EXPECT_TRUE(gone(child_pid(r.out)));
}

TEST_F(Signals, ASecondSignalDuringTheGraceStillLeavesTheChildKilled) {
  Started s = start_program(quick(), {}, options({{"PROBE_SLEEP_MS", "60000"}, {"PROBE_IGNORE_INTERRUPT", "1"}}));
  ASSERT_TRUE(wait_for_output(&s, "sleeping\n"));
  kill(pid_t(s.pid), SIGINT);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  kill(pid_t(s.pid), SIGTERM);
  RunResult r = finish_program(s);
  EXPECT_EQ(r.signal, SIGINT);
  EXPECT_TRUE(gone(child_pid(r.out)));
}

TEST_F(Signals, AChildThatEndsWithinTheGraceIsNotKilled) {
  double seconds = 0;
  RunResult r = signal_while_child_sleeps("1000", true, SIGTERM, &seconds);
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_LT(seconds, 4.0);
  EXPECT_NE(r.out.find("woke"), std::string::npos);
}

TEST_F(Signals, ASignalSentToTheLauncherAloneReachesTheChild) {
  double seconds = 0;
  RunResult r = signal_while_child_sleeps("60000", false, SIGTERM, &seconds);
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_LT(seconds, 4.0);  // the child ended on the relayed signal, not by the kill
  EXPECT_TRUE(gone(child_pid(r.out)));
}

TEST_F(Signals, AUserWithoutAHomeStillUnpacksBelowTheTemporaryFolder) {
  // A user id with no password entry and no HOME: the profile folder cannot be
  // found when the first directory is needed, and the target does not need it.
  if (access("/usr/bin/setpriv", X_OK) != 0 || geteuid() != 0) GTEST_SKIP() << "needs root and setpriv";
  fs::permissions(scratch, fs::perms::all);
  RunOptions o = options({{"HOME", std::nullopt}, {"XDG_CACHE_HOME", std::nullopt}});
  RunResult r = run_program("/usr/bin/setpriv", {"--reuid=54321", "--regid=54321", "--clear-groups", launcher()}, o);
  EXPECT_EQ(r.status, 0u) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(fs::exists(scratch / "mordax-e2e" / "d1/d2/d3/d4/d5/d6/d7/d8/d9/d10/ten.txt"));
}

TEST_F(Signals, ATemporaryFolderThatCannotBeReadStopsTheExpansion) {
  // Bytes that are not UTF-8 have no UTF-16 form: the folder cannot be read.
  RunOptions o = options();
  o.env["TMPDIR"] = "/tmp/\xff";
  RunResult r = run_program(quick(), {}, o);
  EXPECT_EQ(r.status, 3u);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Error, couldn't runtime expand spec '{TEMP}/mordax-e2e'.\n");
}

TEST_F(Signals, ASignalTheLauncherWasStartedWithIgnoredStaysIgnored) {
  Started s = start_program("/bin/sh", {"-c", "trap '' HUP; exec \"$0\"", quick()},
                            options({{"PROBE_SLEEP_MS", "1500"}}));
  ASSERT_TRUE(wait_for_output(&s, "sleeping\n"));
  kill(pid_t(s.pid), SIGHUP);
  RunResult r = finish_program(s);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 0u);
  EXPECT_NE(r.out.find("woke"), std::string::npos);
}

TEST_F(Signals, AnEmptyFirstArgumentIsHandedOnEmptyAndOneThatIsNotUtf8NotAtAll) {
  RunResult empty = run_program("/bin/bash", {"-c", "exec -a '' \"$0\"", quick()}, options());
  EXPECT_EQ(empty.status, 0u) << empty.err;
  EXPECT_NE(empty.out.find("\nMORDAX_ORIGINAL_ARGV0=\n"), std::string::npos) << empty.out;
  RunResult bytes = run_program("/bin/bash", {"-c", "exec -a $'\\xff' \"$0\"", quick()}, options());
  EXPECT_EQ(bytes.status, 0u) << bytes.err;
  EXPECT_NE(bytes.out.find("\nMORDAX_ORIGINAL_ARGV0 unset\n"), std::string::npos) << bytes.out;
}

TEST_F(Signals, TheStatusIsReadEvenWhenChildSignalsWereIgnored) {
  RunResult r = run_program("/bin/sh", {"-c", "trap '' CHLD; exec \"$0\"", quick()}, options({{"PROBE_EXIT", "7"}}));
  EXPECT_EQ(r.status, 7u);
}

// Hostile places: a target below a shared location that someone else prepared.
TEST_F(Signals, ATargetWritableByOthersIsRefused) {
  fs::path target = scratch / "mordax-e2e";
  fs::create_directories(target);
  fs::permissions(target, fs::perms::all);
  RunResult r = run_program(launcher(), {}, options());
  EXPECT_EQ(r.status, 2u);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Error, refusing to unpack into '" + target.string() + "': it is writable by other users.\n");
  EXPECT_TRUE(fs::is_empty(target));
}

TEST_F(Signals, ATargetOwnedBySomeoneElseIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the directory away";
  fs::path target = scratch / "mordax-e2e";
  fs::create_directories(target);
  ASSERT_EQ(chown(target.c_str(), 54321, 54321), 0);
  RunResult r = run_program(launcher(), {}, options());
  EXPECT_EQ(r.status, 2u);
  EXPECT_EQ(r.err, "Error, refusing to unpack into '" + target.string() + "': it is not owned by the current user.\n");
  EXPECT_TRUE(fs::is_empty(target));
}

TEST_F(Signals, ATargetThatIsALinkIsRefused) {
  fs::create_directories(scratch / "elsewhere");
  fs::create_directory_symlink(scratch / "elsewhere", scratch / "mordax-e2e");
  RunResult r = run_program(launcher(), {}, options());
  EXPECT_EQ(r.status, 2u);
  EXPECT_EQ(r.err, "Error, refusing to unpack into '" + (scratch / "mordax-e2e").string() +
                       "': it is a symbolic link.\n");
  EXPECT_TRUE(fs::is_empty(scratch / "elsewhere"));
}

TEST_F(Signals, ALinkPlantedAtARecordPathIsNeverFollowed) {
  fs::path target = scratch / "mordax-e2e";
  fs::create_directories(target);
  std::ofstream(scratch / "victim") << "precious";
  fs::create_symlink(scratch / "victim", target / "small.txt");
  RunResult r = run_program(launcher(), {}, options());
  EXPECT_EQ(r.status, 2u);
  EXPECT_EQ(r.err, "Error, failed to open '" + (target / "small.txt").string() + "' for writing.\n");
  std::ifstream in(scratch / "victim");
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), "precious");
}

TEST_F(Signals, ANamedPipeAtARecordPathStopsTheStartInsteadOfHangingIt) {
  fs::path target = scratch / "mordax-e2e";
  fs::create_directories(target);
  fs::path pipe = target / "small.txt";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  // Should the launcher wait on the pipe, holding its other end open after a
  // while lets it go on (and write into it), so that the test fails instead
  // of hanging.
  std::mutex lock;
  std::condition_variable ended;
  bool done = false;
  int held = -1;
  std::thread rescue([&] {
    std::unique_lock<std::mutex> hold(lock);
    if (!ended.wait_for(hold, std::chrono::seconds(20), [&] { return done; }))
      held = open(pipe.c_str(), O_RDWR | O_NONBLOCK);
  });
  RunResult r = run_program(launcher(), {}, options());
  {
    std::lock_guard<std::mutex> hold(lock);
    done = true;
  }
  ended.notify_one();
  rescue.join();
  if (held >= 0) close(held);
  EXPECT_EQ(r.status, 2u);
  EXPECT_EQ(r.err, "Error, failed to open '" + pipe.string() + "' for writing.\n");
  EXPECT_TRUE(fs::is_fifo(pipe));
}

// Faults: a full disk (a file-size limit stands in for it), and launchers
// killed while they unpack.
TEST_F(Signals, AFullDiskStopsWithTheSystemErrorAndTheNextStartFinishes) {
  // The limit lets the probe (the first record) through and stops big.txt,
  // the next one, which is larger.
  uintmax_t probe_size = fs::file_size(std::string(E2E_APPS) + "/probe/probe");
  uintmax_t limit = probe_size + 65536;
  ASSERT_GT(fs::file_size(std::string(E2E_APPS) + "/probe/big.txt"), limit);
  RunResult r = run_program("/bin/sh", {"-c", "trap '' XFSZ; exec prlimit --fsize=\"$1\" \"$0\"", launcher(),
                                        std::to_string(limit)}, options());
  EXPECT_EQ(r.status, 2u);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Error, couldn't unpack file to target path. ([Error 27] File too large)\n");
  fs::path target = scratch / "mordax-e2e";
  EXPECT_EQ(fs::file_size(target / "probe"), probe_size);
  EXPECT_EQ(fs::file_size(target / "big.txt"), limit);  // the partial file stays
  RunResult again = run_program(launcher(), {}, options({{"PROBE_DIGEST", "1"}}));
  EXPECT_EQ(again.status, 0u) << again.err;
  EXPECT_NE(again.out.find("digest=" + tree_digest(std::string(E2E_APPS) + "/probe")), std::string::npos);
}

// Every file of `source` is in `target` with the same bytes.
bool same_files(const fs::path& source, const fs::path& target) {
  auto read = [](const fs::path& p) {
    std::string contents(fs::file_size(p), '\0');
    std::ifstream(p, std::ios::binary).read(contents.data(), std::streamsize(contents.size()));
    return contents;
  };
  for (const auto& entry : fs::recursive_directory_iterator(source)) {
    if (!entry.is_regular_file()) continue;
    fs::path copy = target / fs::relative(entry.path(), source);
    if (!fs::is_regular_file(copy) || read(copy) != read(entry.path())) return false;
  }
  return true;
}

TEST_F(Signals, LaunchersKilledWhileUnpackingAreRepairedByTheNextStart) {
  // Each round kills a launcher once a given number of files have appeared in
  // its own target, then starts it again there. A kill counts as landing
  // inside the unpacking when it left some of the files, not all.
  const fs::path source = std::string(E2E_APPS) + "/many";
  size_t file_count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(source)) file_count += entry.is_regular_file();
  auto files_in = [](const fs::path& dir) {
    size_t n = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
      n += it->is_regular_file(ec);
    return n;
  };
  constexpr int kRounds = 10;
  int mid_unpack = 0;
  for (int round = 0; round < kRounds; ++round) {
    const fs::path tmp = scratch / ("round" + std::to_string(round));
    const fs::path target = tmp / "mordax-e2e";
    fs::create_directories(tmp);
    RunOptions o = options();
    o.env["TMPDIR"] = tmp.string();
    const size_t kill_at = 1 + size_t(round) * (file_count - 2) / (kRounds - 1);
    Started s = start_program(many(), {}, o);
    siginfo_t ended = {};
    while (files_in(target) < kill_at) {
      // A launcher that has ended is left unreaped for finish_program.
      if (waitid(P_PID, id_t(s.pid), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid != 0) break;
    }
    kill(pid_t(s.pid), SIGKILL);
    RunResult killed = finish_program(s);
    if (killed.signal == SIGKILL && files_in(target) > 0 && !same_files(source, target)) ++mid_unpack;
    RunResult r = run_program(many(), {}, o);
    EXPECT_EQ(r.status, 0u) << "round " << round << ": " << r.err;
    EXPECT_NE(r.out.find("argc=1"), std::string::npos) << "round " << round;
    EXPECT_TRUE(same_files(source, target)) << "round " << round;
  }
  // Most kills must land inside the unpacking, or the repair is never tried.
  EXPECT_GE(mid_unpack, kRounds / 2) << "only " << mid_unpack << " of " << kRounds << " kills landed while unpacking";
}

// Only Windows refuses scripts (batch files): here one with a #! line is a
// program like any other.
TEST_F(Signals, AScriptWithAnInterpreterLineRunsAsTheProgram) {
  RunResult r = run_program(launchers_folder() + "/script", {"a b", "c"}, options());
  EXPECT_EQ(r.status, 7u) << r.err;
  EXPECT_EQ(r.out, "script ran: a b c\n");
  EXPECT_EQ(r.err, "");
}

}  // namespace
