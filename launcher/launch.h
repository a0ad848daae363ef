// The launch sequence: start-up, target directory, console handler, payload,
// records, child. Runs once on the main thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/wide.h"

/// Replaces the path in `buffer` by its fully qualified form. False (buffer
/// unchanged) when the platform cannot qualify it or the result does not fit
/// `capacity` with its terminator.
bool make_full_path(char16_t* buffer, size_t capacity);

/// Whether a fully qualified path names the root of a file system, a drive or
/// a share, with or without trailing separators: the launcher never unpacks there.
bool is_root_directory(const char16_t* path);

/// Runs the whole sequence and returns the launcher's exit status: the child's
/// status, or 1 when it cannot be read. Fatal stops do not return. `argv0` is the
/// launcher's first argument as received (null: none to hand on to the child).
uint32_t launch(const char16_t* argv0);
