// POSIX extras of the test runner: a program started in the background, so a
// test can signal it before it ends.
#pragma once

#include "tests/support/process.h"

struct Started {
  long pid = 0;
  int out_fd = -1, err_fd = -1;
  std::string early_out;  // standard output read before finish_program
};

/// Reads standard output until it holds `text`; false when the stream ends first.
bool wait_for_output(Started* started, const std::string& text);

Started start_program(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options = {});

/// Reads both streams to their end and reaps the program.
RunResult finish_program(const Started& started);
