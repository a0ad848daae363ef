// The fatal reporters: the only code that prints. Each writes one line and ends
// the process; lower layers return results and let their caller decide.
//
// Exit statuses: 2 for every fatal stop, except a template that cannot be
// expanded, which ends with kExpansionFailureStatus.
#pragma once

#include <cstdint>

/// Status after "Error, couldn't runtime expand spec ..."; distinct from the 2 of
/// the other fatal stops so that a caller can tell a configuration fault apart.
constexpr int kExpansionFailureStatus = 3;

/// Writes `message` and one newline to standard output; exits with status 2.
[[noreturn]] void fatal_error(const char* message);

/// "Error, failed to open '<path>' for writing." on standard error; status 2.
[[noreturn]] void fatal_open_error(const char16_t* path);

/// "<message> ([Error <code>] <system text>)" on standard error; returns. The code
/// is printed as a signed 32-bit number.
void print_system_error(const char* message, uint32_t code);

/// print_system_error, then exit with status 2.
[[noreturn]] void fatal_system_error(const char* message, uint32_t code);

/// "Error, couldn't runtime expand spec '<spec>'." on standard error, with the
/// template as written; exits with kExpansionFailureStatus.
[[noreturn]] void fatal_expansion_error(const char16_t* spec);

/// "Error, refusing to unpack into '<path>': <reason>." on standard error; status 2.
[[noreturn]] void fatal_unsafe_target(const char16_t* path, const char* reason);

// The fixed messages of the payload reader and of record extraction.
[[noreturn]] void fatal_header_error();
[[noreturn]] void fatal_memory_error();
[[noreturn]] void fatal_decode_error();
/// "Error, couldn't unpack file to target path." with the calling thread's last
/// system error, read here.
[[noreturn]] void fatal_unpack_error();
