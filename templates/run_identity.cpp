#include "templates/run_identity.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "templates/env.h"

uint32_t random_seed(uint64_t counter, uint64_t address, uint32_t pid) {
  uint32_t seed = pid ^ uint32_t(address >> 32) ^ uint32_t(address) ^ uint32_t(counter >> 32) ^
                  uint32_t(counter);
  return seed == 0 ? 1 : seed;
}

void random_bytes(uint32_t seed, unsigned char (&bytes)[8]) {
  uint32_t x = seed;
  for (unsigned char& byte : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    byte = static_cast<unsigned char>(x);
  }
}

void random_token(const unsigned char (&bytes)[8], char16_t (&token)[12]) {
  static const char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  // 64 bits make 10 full sextets and 4 bits, padded with two zero bits.
  uint64_t bits = 0;
  for (unsigned char byte : bytes) bits = (bits << 8) | byte;
  for (int i = 0; i < 10; ++i) token[i] = char16_t(alphabet[(bits >> (58 - 6 * i)) & 63]);
  token[10] = char16_t(alphabet[(bits & 15) << 2]);
  token[11] = 0;
}

static char16_t* duplicate(const char16_t* text, size_t length) {
  auto* copy = static_cast<char16_t*>(malloc((length + 1) * sizeof(char16_t)));
  if (copy != nullptr) memcpy(copy, text, (length + 1) * sizeof(char16_t));
  return copy;
}

static size_t widen(const char* narrow, char16_t* wide) {
  size_t n = 0;
  for (; narrow[n] != 0; ++n) wide[n] = char16_t(narrow[n]);
  wide[n] = 0;
  return n;
}

char16_t* run_identity_value(RunIdentity which) {
  const char* variable = which == RunIdentity::random    ? MORDAX_ENV_RANDOM
                         : which == RunIdentity::time_us ? MORDAX_ENV_TIME_US
                                                         : MORDAX_ENV_START;
  if (char16_t* stored = env_get(variable)) return stored;

  char16_t made[32];
  size_t length = 0;
  if (which == RunIdentity::random) {
    uint64_t counter = platform::performance_counter();
    uint32_t seed = random_seed(counter, reinterpret_cast<uintptr_t>(&counter), platform::process_id());
    unsigned char bytes[8];
    random_bytes(seed, bytes);
    char16_t token[12];
    random_token(bytes, token);
    memcpy(made, token, sizeof token);
    length = 11;
  } else {
    char narrow[32];
    int64_t t = platform::system_time();
    if (which == RunIdentity::time_us)
      snprintf(narrow, sizeof narrow, "%06ld", static_cast<long>((t / 10) % 1000000));
    else
      snprintf(narrow, sizeof narrow, "%lld", static_cast<long long>(t));
    length = widen(narrow, made);
  }
  // Stored before use; a failed store only means the next expansion makes anew.
  env_set(variable, made);
  return duplicate(made, length);
}
