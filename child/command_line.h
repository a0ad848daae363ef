// The child's command line (Windows): the launcher's arguments split by the
// platform's rules, the first replaced by the launcher's full path, each written
// back so that the same rules give it back.
//
// Quoting of one argument:
//  - no space, tab, line feed, vertical tab or double quote: written unchanged,
//    backslashes included;
//  - empty: written as "" so that it survives the round trip;
//  - otherwise inside double quotes, where a run of k backslashes becomes 2k+1
//    before a double quote (which follows), 2k before the closing quote, and
//    stays k before any other unit.
#pragma once

#include <cstddef>

#include "common/wide.h"

constexpr size_t kCommandLineCapacity = 32768;

/// Appends one argument, quoted where needed. False when it does not fit.
bool append_argument(WideWriter& line, const char16_t* argument);

/// Builds the child's command line into a static buffer and returns it; valid
/// until the next call. Stops the launcher when the launcher's path cannot be
/// read, the command line cannot be split, or the line would pass 32767 units.
char16_t* build_child_command_line();

/// Forgets the launcher's path read by the first build. The launcher reads it
/// once; the tests start each case without it.
void forget_launcher_path();
