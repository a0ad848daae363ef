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

/// What a later start's shortcut found.
enum class InPlace {
  all,      // every file in place: nothing is left to decode
  missing,  // a file the index lists is absent or changed: unpacking writes
  unknown,  // no usable index: unpacking may only find the files in place
};

/// A later start's shortcut: when this launcher carries a valid index made with
/// its payload, every non-empty file it lists is in place with its checksum and
/// no empty record's file holds the contents of a record after it (it may be
/// that record's file under another name), does what extract_records() would
/// (empty records written again, the first record's path as the child's)
/// without decoding anything, and returns InPlace::all. Otherwise it has
/// written nothing.
InPlace records_in_place();

/// Reads the record stream from the open payload reader up to its end marker and
/// writes each changed file. Stops the launcher on any failure; files written
/// before it stay.
void extract_records();
