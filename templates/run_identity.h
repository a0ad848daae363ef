// The per-run values RANDOM, TIME_US and TIME: made the first time an expansion
// names one, stored at once in the process environment (their only store), and
// read back from there by every later expansion and by the child.
#pragma once

#include <cstdint>

enum class RunIdentity { random, time_us, time };

/// The run's value: the environment's copy when the variable is set and not
/// empty (used unchecked), else a value made and stored now. A malloc'ed string
/// the caller frees; null only when no memory is left.
char16_t* run_identity_value(RunIdentity which);

/// The xorshift seed from a counter reading, the address of that reading and the
/// process id; never 0.
uint32_t random_seed(uint64_t counter, uint64_t address, uint32_t pid);

/// The eight xorshift bytes of a seed, byte 1 first.
void random_bytes(uint32_t seed, unsigned char (&bytes)[8]);

/// base64url of the eight bytes without padding: 11 units and a terminator.
void random_token(const unsigned char (&bytes)[8], char16_t (&token)[12]);
