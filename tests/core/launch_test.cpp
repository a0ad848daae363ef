#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "child/run_child.h"
#include "extract/directories.h"
#include "extract/extract.h"
#include "launcher/console.h"
#include "launcher/launch.h"
#include "tests/support/fake_platform.h"
#include "tests/support/payload_builder.h"

namespace {

using fake::state;

class Launch : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    child_executable_path[0] = 0;
    state().directories = {u"C:\\Users", u"C:\\Users\\ann", u"C:\\Users\\ann\\AppData",
                           u"C:\\Users\\ann\\AppData\\Local"};
    state().payload = make_payload({{u"app.exe", "MZ"}, {u"lib\\x.dll", "dll"}});
  }
  // The launcher's status, or the fatal one.
  uint32_t run() {
    try {
      return launch(u"tool");
    } catch (const FatalExit& e) {
      return uint32_t(e.status);
    }
  }
  bool called(const std::string& call) {
    return std::find(state().calls.begin(), state().calls.end(), call) != state().calls.end();
  }
};

TEST_F(Launch, UnpacksAndStartsTheFirstRecordWithTheHandOffVariables) {
  state().child_status = 0xC0000005;
  state().environment[u"MORDAX_ONEFILE_RANDOM"] = u"inherited";
  state().environment[u"MORDAX_ONEFILE_START"] = u"1";
  state().environment[u"MORDAX_ONEFILE_TIME_US"] = u"2";
  state().environment[u"MORDAX_ONEFILE_PARENT"] = u"1";
  state().arguments = {u"tool", u"x y"};
  EXPECT_EQ(run(), 0xC0000005u);
  const std::u16string target = u"C:\\Users\\ann\\AppData\\Local\\tarvell-2.3.8";
  EXPECT_EQ(state().files[target + u"\\lib\\x.dll"], "dll");
  EXPECT_EQ(state().started_path, target + u"\\app.exe");
  EXPECT_EQ(state().started_command_line, u"C:\\apps\\Tool.EXE \"x y\"");
  auto& env = state().environment;
  EXPECT_EQ(env.count(u"MORDAX_ONEFILE_RANDOM") + env.count(u"MORDAX_ONEFILE_START") +
                env.count(u"MORDAX_ONEFILE_TIME_US"), 0u);
  EXPECT_EQ(env[u"MORDAX_ONEFILE_PARENT"], u"4242");
  EXPECT_EQ(env[u"MORDAX_ONEFILE_DIRECTORY"], u"C:\\apps");
  EXPECT_EQ(env[u"MORDAX_ORIGINAL_ARGV0"], u"tool");
  EXPECT_TRUE(called("dll-directory"));
  // Both handles are closed, each once, and the handler was never needed.
  EXPECT_TRUE(called("close-process 101"));
  EXPECT_TRUE(called("close-process 202"));
  EXPECT_FALSE(called("await-handler"));
  EXPECT_EQ(child_process, 0);
}

TEST_F(Launch, TheParentVariableIsSetBeforeTheFirstExpansion) {
  state().target_spec = u"C:\\T\\{PID}";
  state().environment[u"MORDAX_ONEFILE_PARENT"] = u"99";
  state().directories.insert(u"C:\\T");
  EXPECT_EQ(run(), 0u);
  EXPECT_EQ(state().started_path, u"C:\\T\\4242\\app.exe");
}

TEST_F(Launch, RunValuesNamedByTheTargetReachTheChild) {
  state().target_spec = u"C:\\T\\{RANDOM}";
  state().directories.insert(u"C:\\T");
  state().environment[u"MORDAX_ONEFILE_RANDOM"] = u"stale";
  EXPECT_EQ(run(), 0u);
  std::u16string token = state().environment[u"MORDAX_ONEFILE_RANDOM"];
  EXPECT_EQ(token.size(), 11u);
  EXPECT_EQ(state().started_path, u"C:\\T\\" + token + u"\\app.exe");
}

TEST_F(Launch, AFailedExpansionStopsBeforeThePayloadIsLookedAt) {
  state().target_spec = u"{NOSUCH}\\x";
  state().payload = "not a payload";
  EXPECT_EQ(run(), uint32_t(3));
  EXPECT_EQ(state().err, "Error, couldn't runtime expand spec '{NOSUCH}\\x'.\n");
  EXPECT_EQ(state().out, "");
  EXPECT_EQ(state().handler, nullptr);
}

TEST_F(Launch, ATargetThatIsARootFolderStopsBeforeAnythingIsWritten) {
  state().temp = u"C:\\";
  for (const char16_t* spec : {u"C:\\", u"C:", u"{TEMP}"}) {
    state().target_spec = spec;
    state().err.clear();
    EXPECT_EQ(run(), 2u) << fake::narrow(spec);
    EXPECT_NE(state().err.find("': it is a root folder.\n"), std::string::npos) << fake::narrow(spec);
    EXPECT_EQ(state().files.size(), 0u);
    EXPECT_EQ(state().started_path, u"");
  }
  EXPECT_EQ(state().err, "Error, refusing to unpack into 'C:': it is a root folder.\n");  // {TEMP}
}

TEST(RootDirectories, DrivesSharesAndTheirLongFormsAreRootsTheirFoldersAreNot) {
  for (const char16_t* root : {u"C:\\", u"C:", u"\\", u"\\\\server\\share", u"\\\\server\\share\\",
                               u"\\\\?\\C:\\", u"\\\\?\\UNC\\server\\share\\", u"\\\\.\\D:"})
    EXPECT_TRUE(is_root_directory(root)) << fake::narrow(root);
  for (const char16_t* folder : {u"C:\\a", u"C:\\a\\", u"\\\\server\\share\\a", u"\\\\?\\C:\\a",
                                 u"\\\\?\\UNC\\server\\share\\a"})
    EXPECT_FALSE(is_root_directory(folder)) << fake::narrow(folder);
}

TEST_F(Launch, AnEmptyFirstArgumentIsHandedOnEmptyAndAMissingOneNotAtAll) {
  EXPECT_EQ(launch(u""), 0u);
  ASSERT_EQ(state().environment.count(u"MORDAX_ORIGINAL_ARGV0"), 1u);
  EXPECT_EQ(state().environment[u"MORDAX_ORIGINAL_ARGV0"], u"");
  state().environment[u"MORDAX_ORIGINAL_ARGV0"] = u"inherited";
  EXPECT_EQ(launch(nullptr), 0u);
  EXPECT_EQ(state().environment.count(u"MORDAX_ORIGINAL_ARGV0"), 0u);
}

TEST_F(Launch, TheStandardHandlesAreTakenBeforeTheCommandLineIsBuilt) {
  EXPECT_EQ(run(), 0u);
  auto handles = std::find(state().calls.begin(), state().calls.end(), "standard-handles");
  auto arguments = std::find(state().calls.begin(), state().calls.end(), "arguments");
  EXPECT_LT(handles, arguments);
  EXPECT_NE(arguments, state().calls.end());
  EXPECT_EQ(state().started_handles, (std::vector<intptr_t>{10, 11, 12}));
}

TEST_F(Launch, AFailedWaitForTheChildStopsWithTheSystemError) {
  state().child_wait_fails = true;
  state().error_texts[6] = "The handle is invalid.\r\n";
  EXPECT_EQ(run(), 2u);
  EXPECT_EQ(state().err, "Error, couldn't wait for child ([Error 6] The handle is invalid.)\n");
}

TEST_F(Launch, WithoutAProfileFolderOnlyATargetThatNamesItStops) {
  state().profile_fails = true;
  state().target_spec = u"{TEMP}\\t";
  EXPECT_EQ(run(), 0u);
  EXPECT_EQ(state().files[u"C:\\Temp\\t\\lib\\x.dll"], "dll");
  fake::reset();
  state().profile_fails = true;
  state().target_spec = u"{HOME}\\t";
  EXPECT_EQ(run(), 3u);
  EXPECT_EQ(state().err, "Error, couldn't runtime expand spec '{HOME}\\t'.\n");
}

TEST_F(Launch, AHandlerThatCannotBeRegisteredStopsBeforeUnpacking) {
  state().handler_registration_fails = true;
  EXPECT_EQ(run(), 2u);
  EXPECT_EQ(state().out, "Error, failed to register signal handler.\n");
  EXPECT_TRUE(state().files.empty());
}

TEST_F(Launch, APayloadWithoutRecordsCannotLaunchAChild) {
  state().payload = wrap_payload(compress_frame(std::string(2, '\0')));
  state().error_texts[3] = "The system cannot find the path specified.\r\n";
  state().child_error = 3;
  EXPECT_EQ(run(), 2u);
  EXPECT_EQ(state().started_path, u"");
  EXPECT_EQ(state().err, "Error, couldn't launch child ([Error 3] The system cannot find the path specified.)\n");
}

TEST_F(Launch, AnUnreadableStatusBecomesOne) {
  state().child_status_readable = false;
  EXPECT_EQ(run(), 1u);
}

TEST_F(Launch, WhenTheHandlerTookTheChildTheMainThreadDefersToIt) {
  state().child_status = 7;
  state().during_wait = [] { console_control_handler(0); };
  EXPECT_EQ(run(), 7u);
  // The handler closed the shared handle, the main thread its own: once each.
  EXPECT_EQ(std::count(state().calls.begin(), state().calls.end(), "close-process 202"), 1);
  EXPECT_EQ(std::count(state().calls.begin(), state().calls.end(), "close-process 101"), 1);
  EXPECT_TRUE(called("await-handler"));
}

TEST(FullPath, QualifiesRelativePathsAndRefusesWhatDoesNotFit) {
  fake::reset();
  char16_t buffer[kPathCapacity] = u"rel\\dir";
  EXPECT_TRUE(make_full_path(buffer, kPathCapacity));
  EXPECT_EQ(std::u16string(buffer), u"C:\\work\\rel\\dir");
  char16_t empty[kPathCapacity] = u"";
  EXPECT_FALSE(make_full_path(empty, kPathCapacity));
  std::u16string longest = u"C:\\" + std::u16string(4092, u'a');
  std::u16string b = longest;
  b.resize(kPathCapacity);
  EXPECT_TRUE(make_full_path(b.data(), kPathCapacity));
  std::u16string too_long = u"C:\\" + std::u16string(4093, u'a');
  too_long.resize(kPathCapacity + 1);
  EXPECT_FALSE(make_full_path(too_long.data(), kPathCapacity + 1));
}

}  // namespace

namespace {

TEST_F(Launch, UnpackingHappensUnderTheTargetLock) {
  EXPECT_EQ(run(), 0u);
  auto at = [&](const std::string& call) {
    return std::find(state().calls.begin(), state().calls.end(), call) - state().calls.begin();
  };
  const std::string target = "C:\\Users\\ann\\AppData\\Local\\tarvell-2.3.8";
  EXPECT_LT(at("lock " + target), at("open " + target + "\\app.exe"));
  EXPECT_LT(at("close " + target + "\\lib\\x.dll"), at("unlock"));
  EXPECT_LT(at("unlock"), at("wait-status 101"));
}

// A Windows launcher moves contents through its 32 KiB buffer on the main
// thread unless its build opted into the second core, whose ring it writes
// from in larger pieces; the files are the same.
TEST_F(Launch, OnlyALauncherThatOptedInWritesFromTheSecondCore) {
  const std::string big = noise(3u << 20, 5);
  for (bool opted_in : {false, true}) {
    SetUp();
    state().payload = make_payload({{u"app.exe", "MZ"}, {u"big.bin", big}});
    state().fast_start = opted_in;
    ASSERT_EQ(run(), 0u);
    EXPECT_EQ(state().files[u"C:\\Users\\ann\\AppData\\Local\\tarvell-2.3.8\\big.bin"], big);
    size_t largest = 0;
    for (const std::string& call : state().calls)
      if (call.rfind("write ", 0) == 0) largest = std::max<size_t>(largest, std::stoul(call.substr(6)));
    if (opted_in)
      EXPECT_GT(largest, 32768u);
    else
      EXPECT_EQ(largest, 32768u);
  }
}

// A tree of more directories than the listed memo holds: past its capacity a
// default launcher asks again for every file, one that opted in remembers them.
TEST_F(Launch, OnlyALauncherThatOptedInRemembersMoreDirectoriesThanTheListedMemoHolds) {
  std::vector<RecordSpec> records = {{u"app.exe", "MZ"}};
  for (size_t i = 0; i < kDirectoryMemoCapacity; ++i) {
    std::u16string directory = u"d";
    for (char digit : std::to_string(i)) directory += char16_t(digit);
    records.push_back({directory + u"\\a", "x"});
    records.push_back({directory + u"\\b", "x"});
  }
  for (bool opted_in : {false, true}) {
    SetUp();
    state().payload = make_payload(records);
    state().fast_start = opted_in;
    ASSERT_EQ(run(), 0u);
    std::map<std::string, int> asked;
    int most = 0;
    for (const std::string& call : state().calls)
      if (call.rfind("mkdir ", 0) == 0) most = std::max(most, ++asked[call]);
    EXPECT_EQ(most, opted_in ? 1 : 2) << (opted_in ? "opted in" : "by default");
  }
}

// Unpacking that writes keeps the decoder's window on normal pages; without an
// index to say so, the start may only find the files in place and decodes on
// the platform's large memory.
TEST_F(Launch, OnlyAStartThatMayNotWriteDecodesOnLargeMemory) {
  const std::vector<RecordSpec> records = {{u"app.exe", "MZ"}, {u"big.bin", noise(200000, 6)}};
  for (bool indexed : {true, false}) {
    SetUp();
    state().payload = make_payload(records);
    if (indexed) state().index = make_index(records, state().payload);
    state().large_memory = true;
    ASSERT_EQ(run(), 0u);
    EXPECT_EQ(state().large_bytes > 0, !indexed) << (indexed ? "indexed" : "without an index");
  }
}

TEST_F(Launch, ATargetAnotherUserCouldHavePreparedIsRefused) {
  const std::pair<platform::TargetLock, const char*> cases[] = {
      {platform::TargetLock::symbolic_link, "it is a symbolic link"},
      {platform::TargetLock::not_owned, "it is not owned by the current user"},
      {platform::TargetLock::writable_by_others, "it is writable by other users"},
  };
  for (const auto& [result, reason] : cases) {
    SetUp();
    state().lock_result = result;
    EXPECT_EQ(run(), 2u);
    EXPECT_EQ(state().err, std::string("Error, refusing to unpack into "
                                       "'C:\\Users\\ann\\AppData\\Local\\tarvell-2.3.8': ") + reason + ".\n");
    EXPECT_TRUE(state().files.empty());
  }
}

TEST_F(Launch, WithoutALockTheLauncherUnpacksAsItWouldAlone) {
  state().lock_result = platform::TargetLock::unavailable;
  EXPECT_EQ(run(), 0u);
  EXPECT_EQ(state().files.size(), 2u);
}

}  // namespace
