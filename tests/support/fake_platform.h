// A platform for the core's unit tests: an in-memory file system and
// environment that record every call, with Windows-style paths. A fatal stop
// throws FatalExit instead of ending the process.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

struct FatalExit {
  int status;
};

namespace fake {

struct State {
  // File system.
  std::map<std::u16string, std::string> files;
  std::set<std::u16string> directories;
  std::set<std::u16string> refused_directories;  // create_directory fails there
  std::set<std::u16string> unwritable;           // open_for_writing fails there
  bool folds_case = false;                       // names that differ only in case are one file, as on NTFS
  bool folds_fully = false;                      // with folds_case: sharp s is "ss", as in ext4's casefold
  long write_budget = -1;                        // bytes writable; the write past them writes part, fails
  std::vector<std::string> calls;                // "mkdir C:\T\a", "open C:\T\f", ...
  std::map<std::u16string, bool> opened_as_program;
  std::vector<std::pair<uint64_t, size_t>> released;  // payload ranges let go: offset, size

  // Paths, folders and identity.
  std::u16string module = u"C:\\apps\\Tool.EXE";
  std::u16string current_directory = u"C:\\work";
  std::u16string temp = u"C:\\Temp\\";
  std::u16string profile = u"C:\\Users\\ann";
  std::u16string local_app_data = u"C:\\Users\\ann\\AppData\\Local";
  bool module_fails = false, temp_fails = false, profile_fails = false, cache_fails = false;
  uint32_t pid = 4242;
  uint32_t processors = 2;
  uint64_t memory = UINT64_MAX;  // what memory_available says
  uint64_t counter = 1;
  int64_t time = 133000000000000000;
  std::map<std::u16string, std::u16string> environment;

  // Output and errors.
  std::string out, err;
  uint32_t last_error = 0;
  std::map<uint32_t, std::string> error_texts;

  // Payload, its index (none when empty) and build strings.
  std::string payload;
  std::string index;
  bool fast_start = false;
  bool large_memory = false;  // the platform has large memory; what was taken from it
  uint64_t large_bytes = 0;
  std::u16string target_spec = u"{CACHE_DIR}\\tarvell-2.3.8";

  // Target lock.
  platform::TargetLock lock_result = platform::TargetLock::held;

  // Console and child.
  intptr_t window = 0;
  uint32_t console_count = 0;
  bool handler_registration_fails = false;
  bool (*handler)(uint32_t) = nullptr;
  std::vector<std::u16string> arguments = {u"tool.exe"};
  bool child_start_fails = false;
  uint32_t child_error = 2;
  bool child_ends_within_grace = true;
  bool child_status_readable = true;
  bool child_wait_fails = false;
  uint32_t child_status = 0;
  std::u16string started_path, started_command_line;
  std::vector<intptr_t> started_handles;
  std::function<void()> during_wait;  // runs while the main thread waits for the child
  std::function<void()> during_grace;  // runs while a console handler waits for the child
};

State& state();
/// Fresh state, an empty directory memo and no child.
void reset();
/// reset(), then the record loop's target directory is `target`, which
/// exists, and no first record has been read.
void reset_in_target(const std::u16string& target);
std::string narrow(const std::u16string& text);

}  // namespace fake
