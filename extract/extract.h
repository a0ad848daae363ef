// Record extraction: every record of the payload becomes a file below the
// target directory, unless a file with the same record checksum is already there.
#pragma once

#include "common/wide.h"

/// The expanded, fully qualified target directory: written once by the launch
/// sequence before the records are read.
extern char16_t target_directory[kPathCapacity];

/// Full path of the first record, the program started as the child; empty until
/// the first record is read, and when the payload holds none.
extern char16_t child_executable_path[kPathCapacity];

/// Reads the record stream from the open payload reader up to its end marker and
/// writes each changed file. Stops the launcher on any failure; files written
/// before it stay.
void extract_records();
