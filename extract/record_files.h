// What the record loop and the frame extractor share: a record's path below
// the target directory, and the opening of its file.
#pragma once

#include <cstdint>

#include "payload/index.h"
#include "platform/platform.h"

/// target_directory, the separator, then the record name with the platform's
/// separators, into `full` (kPathCapacity units); false when it does not fit.
bool compose_path(const char16_t* record_name, char16_t* full);

/// The index entry's name into `entry_name` (kRecordNameCapacity units) and its
/// full path into `full`, under the record loop's rules; false where the loop
/// would stop, so that it runs and says why.
bool index_entry_path(const IndexEntry& entry, char16_t* entry_name, char16_t* full);

enum class RecordFile { open, held_empty, refused };

/// Creates the file's directories and opens it for writing, truncated.
/// `held_empty`, with nothing to write, for an empty record whose file is in
/// place but held open by a running instance of the application.
RecordFile create_record_file(const char16_t* path, uint64_t size, bool first_record, platform::OutputFile* file);

/// As create_record_file, stopping the launcher with "failed to open" where
/// the file is refused; true when there is a file to write.
bool open_record_file(const char16_t* path, uint64_t size, bool first_record, platform::OutputFile* file);
