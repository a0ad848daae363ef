// Environment variables of the launcher's own process, by ASCII name.
//
// Names are build-time constants of at most 39 ASCII characters; a longer name or
// one with a non-ASCII byte is refused before the platform is called (env_get
// gives none, env_set and env_unset give false).
#pragma once

#include <cstdint>

constexpr uint32_t kEnvLookupCapacity = 32768;

/// The value as a new malloc'ed, zero-terminated copy that the caller frees, or
/// null: not set, set to the empty string, longer than 32767 units, or no memory.
char16_t* env_get(const char* name);

/// Sets the variable; returns the platform's success flag.
bool env_set(const char* name, const char16_t* value);

/// Deletes the variable; returns the platform's success flag.
bool env_unset(const char* name);

// The variables the launcher reads or writes.
#define MORDAX_ENV_PARENT "MORDAX_ONEFILE_PARENT"
#define MORDAX_ENV_START "MORDAX_ONEFILE_START"
#define MORDAX_ENV_TIME_US "MORDAX_ONEFILE_TIME_US"
#define MORDAX_ENV_RANDOM "MORDAX_ONEFILE_RANDOM"
#define MORDAX_ENV_DIRECTORY "MORDAX_ONEFILE_DIRECTORY"
#define MORDAX_ENV_ARGV0 "MORDAX_ORIGINAL_ARGV0"
