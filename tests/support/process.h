// Runs a program as the end-to-end tests need it: given arguments and
// environment changes, standard streams captured, the full exit status read.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// A POSIX program ended by a signal gets a status no exit code can have, so
// that a check for a given status never passes for a program that crashed.
constexpr uint32_t kSignalStatusBase = 0x100;

struct RunResult {
  uint32_t status = 0;  // the exit code (all 32 bits on Windows), or kSignalStatusBase + signal
  int signal = 0;       // POSIX: the signal that ended the program, else 0
  std::string out, err;
  long pid = 0;  // the program's process id
  uint32_t processes = 0;  // Windows, with RunOptions::count_processes: every process the run started, itself too
};

struct RunOptions {
  /// Variables to set (a value) or remove (nullopt) for the program.
  std::map<std::string, std::optional<std::string>> env;
  /// The program's current directory; empty: the test's own.
  std::string cwd;
  /// The first argument as the program sees it; empty: the program path.
  std::string argv0;
  /// Windows: runs the program in a job of its own and counts the processes it
  /// ever held; a run still going after 30 s is ended, with all it started.
  bool count_processes = false;
};

/// Starts `program` with `args` and waits for it to end.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options = {});
